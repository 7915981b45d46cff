// The real dialogs under the fixture's X server, played as a user would play
// them: an owner window on a thread of its own (the monitor attaches its
// thread's input to the owner's thread before it shows a dialog, which fails
// for a window of the calling thread or none at all), a robot thread that
// finds the dialog by its caption and types into the controls by their ids,
// and the screenshot handshake with dialog_screenshots.sh.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace vt {

inline constexpr wchar_t kPortNameCaption[] = L"Port Name";
inline constexpr wchar_t kSettingsCaption[] = L"Checksum Port Settings";
inline constexpr int kPortNameEdit = 101, kPrintDocuments = 201, kPrinterEdit = 202;

class OwnerWindow {
 public:
  OwnerWindow();
  ~OwnerWindow();
  HWND Window = nullptr;

 private:
  std::thread Thread;
  DWORD ThreadId = 0;
};

// Key by key into the field, replacing what is there, as typing would.
void Type(HWND dialog, int edit, const std::wstring& text);
inline void Click(HWND dialog, int id) { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
// The ways a dialog ends: posted, as a real click or key arrives.
inline void PressOk(HWND dialog) { PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0); }
inline void PressCancel(HWND dialog) { PostMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0); }
inline void PressEsc(HWND dialog) { PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0); }
inline void CloseBox(HWND dialog) { PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }

// Waits on its own thread for the dialog with the given caption, reads what
// it shows (check box 201, and the edit field 202 or else 101), then plays
// the user's part. A dialog that does not end, or none that comes while the
// call under test runs, is cancelled after a while so the test cannot hang.
// Construct it right before the call that is to show the dialog.
class Robot {
 public:
  using Action = std::function<void(HWND)>;
  Robot(const wchar_t* caption, Action act);
  ~Robot() { Finish(); }
  // After the call under test has returned.
  void Finish();
  bool Found = false, Cancelled = false, Checked = false;
  std::wstring Text;

 private:
  void Run();
  const wchar_t* Caption;
  Action Act;
  std::thread Thread;
  std::atomic<bool> CallReturned{false};
};

// Pictures of the dialogs for people to look at; only under
// dialog_screenshots.sh, which sets VARDLET_SCREENSHOT_DIR (a DOS path),
// grabs a window for every "SCREENSHOT <name> <X window> <rect>" line and
// then creates <name>.done in that folder.
void AskForScreenshot(HWND dialog, const char* name);

}  // namespace vt

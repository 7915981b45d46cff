// The real dialogs under the fixture's X server, played by a robot thread as
// a user would play them: an owner window on a thread of its own, the robot
// that waits for a dialog by its caption, reads it and acts, the keys and
// clicks it uses, and the screenshot handshake with dialog_screenshots.sh.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace vt {

inline constexpr wchar_t kPortNameCaption[] = L"Port Name";
inline constexpr wchar_t kSettingsCaption[] = L"Checksum Port Settings";
inline constexpr int kPortNameEdit = 101;
inline constexpr int kPrintDocuments = 201;
inline constexpr int kPrinterEdit = 202;

// ---------------------------------------------------------------------------
// The owner window: created and pumped on a thread of its own.

class OwnerWindow {
 public:
  OwnerWindow() {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Thread = std::thread([this, ready] {
      Window = CreateWindowExW(0, L"STATIC", L"vardlet test owner", WS_OVERLAPPED, 0, 0, 10, 10,
                               nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
      ThreadId = GetCurrentThreadId();
      SetEvent(ready);
      MSG message;
      while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
      if (Window) DestroyWindow(Window);
    });
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
  }
  ~OwnerWindow() {
    PostThreadMessageW(ThreadId, WM_QUIT, 0, 0);
    Thread.join();
  }
  HWND Handle() const { return Window; }

 private:
  std::thread Thread;
  HWND Window = nullptr;
  DWORD ThreadId = 0;
};

// ---------------------------------------------------------------------------
// The robot: waits on its own thread for the dialog with the given caption,
// reads what it shows, then plays the user's part. Construct it right before
// the call that is to show the dialog; Finish() right after that call.

struct DialogView {
  bool Checked = false;
  std::wstring Text;  // the edit field (101 or 202, whichever exists)
};

DialogView ReadDialog(HWND dialog);

// Key by key into the field, replacing what is there, as typing would.
void Type(HWND dialog, int edit, const std::wstring& text);

inline void Click(HWND dialog, int id) { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
// The buttons that end the dialog: posted, as a real click arrives.
inline void PressOk(HWND dialog) { PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0); }
inline void PressCancel(HWND dialog) { PostMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0); }
inline void PressEsc(HWND dialog) { PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0); }
inline void CloseBox(HWND dialog) { PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }

class Robot {
 public:
  using Action = std::function<void(HWND)>;

  Robot(const wchar_t* caption, Action act)
      : Caption(caption), Act(std::move(act)), CallerThread(GetCurrentThreadId()) {
    Thread = std::thread([this] { Run(); });
  }
  ~Robot() { Finish(); }

  // After the call under test has returned: stops looking (a dialog that
  // was going to come has come by now) and waits for the robot.
  void Finish() {
    CallReturned = true;
    if (Thread.joinable()) Thread.join();
  }

  bool Found() const { return Dialog != nullptr; }
  const DialogView& Seen() const { return View; }
  // The action did not end the dialog, or a dialog of another caption came:
  // the robot cancelled it so the test would not hang.
  bool HadToCancel() const { return Cancelled; }

 private:
  void Run();

  const wchar_t* Caption;
  Action Act;
  DWORD CallerThread;
  std::thread Thread;
  std::atomic<bool> CallReturned{false};
  HWND Dialog = nullptr;
  DialogView View;
  bool Cancelled = false;
};

// ---------------------------------------------------------------------------
// Screenshots, for people to look at. Only under
// tests/win/dialog_screenshots.sh, which sets VARDLET_SCREENSHOT_DIR (a DOS
// path), takes a picture for every "SCREENSHOT <name> <X window> <rect>"
// line on standard output, and then creates <name>.done in that folder.
void AskForScreenshot(HWND dialog, const char* name);

}  // namespace vt

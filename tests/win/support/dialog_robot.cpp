// The dialog robot of dialog_robot.h.
#include "dialog_robot.h"

#include <cstdio>
#include <cstring>

namespace vt {
namespace {

BOOL CALLBACK CancelAnyDialog(HWND window, LPARAM found) {
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  if (std::wcscmp(className, L"#32770") == 0) {
    PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    *reinterpret_cast<bool*>(found) = true;
  }
  return TRUE;
}

}  // namespace

DialogView ReadDialog(HWND dialog) {
  DialogView view;
  view.Checked = IsDlgButtonChecked(dialog, kPrintDocuments) == BST_CHECKED;
  int edit = GetDlgItem(dialog, kPrinterEdit) ? kPrinterEdit : kPortNameEdit;
  LRESULT length = SendDlgItemMessageW(dialog, edit, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  text.resize(GetDlgItemTextW(dialog, edit, text.data(), static_cast<int>(text.size())));
  view.Text = text;
  return view;
}

void Type(HWND dialog, int edit, const std::wstring& text) {
  HWND field = GetDlgItem(dialog, edit);
  SendMessageW(field, EM_SETSEL, 0, -1);
  SendMessageW(field, WM_CHAR, VK_BACK, 0);
  for (wchar_t c : text) SendMessageW(field, WM_CHAR, c, 0);
}

void Robot::Run() {
  ULONGLONG start = GetTickCount64();
  HWND dialog = nullptr;
  for (;;) {
    dialog = FindWindowW(L"#32770", Caption);
    if (dialog && IsWindowVisible(dialog)) break;
    if (CallReturned) return;
    if (GetTickCount64() - start > 15000) {
      // Whatever dialog the caller shows, it must not hang the run.
      bool found = false;
      EnumThreadWindows(CallerThread, CancelAnyDialog, reinterpret_cast<LPARAM>(&found));
      Cancelled = found;
      return;
    }
    Sleep(10);
  }
  // WM_INITDIALOG is over once the dialog is visible; one round trip more
  // and its first messages are handled too.
  SendMessageW(dialog, WM_NULL, 0, 0);
  Dialog = dialog;
  View = ReadDialog(dialog);
  Act(dialog);
  for (int i = 0; i < 1000 && IsWindow(dialog); ++i) Sleep(10);
  if (IsWindow(dialog)) {
    Cancelled = true;
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  }
}

void AskForScreenshot(HWND dialog, const char* name) {
  wchar_t folder[MAX_PATH] = {};
  GetEnvironmentVariableW(L"VARDLET_SCREENSHOT_DIR", folder, MAX_PATH);
  std::wstring done = std::wstring(folder) + L"\\" + std::wstring(name, name + std::strlen(name)) + L".done";
  RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(300);
  RECT rect = {};
  GetWindowRect(dialog, &rect);
  auto xid = reinterpret_cast<ULONG_PTR>(GetPropW(dialog, L"__wine_x11_whole_window"));
  std::printf("SCREENSHOT %s 0x%lx %ld %ld %ld %ld\n", name, static_cast<unsigned long>(xid),
              rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
  std::fflush(stdout);
  for (int i = 0; i < 600 && GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
    Sleep(50);
}

}  // namespace vt

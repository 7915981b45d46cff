#include "dialog_robot.h"

#include <cstdio>

namespace vt {

OwnerWindow::OwnerWindow() {
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Thread = std::thread([this, ready] {
    Window = CreateWindowExW(0, L"STATIC", L"vardlet test owner", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    ThreadId = GetCurrentThreadId();
    SetEvent(ready);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    DestroyWindow(Window);
  });
  WaitForSingleObject(ready, INFINITE);
  CloseHandle(ready);
}

OwnerWindow::~OwnerWindow() {
  PostThreadMessageW(ThreadId, WM_QUIT, 0, 0);
  Thread.join();
}

void Type(HWND dialog, int edit, const std::wstring& text) {
  HWND field = GetDlgItem(dialog, edit);
  SendMessageW(field, EM_SETSEL, 0, -1);
  SendMessageW(field, WM_CHAR, VK_BACK, 0);
  for (wchar_t c : text) SendMessageW(field, WM_CHAR, c, 0);
}

Robot::Robot(const wchar_t* caption, Action act) : Caption(caption), Act(std::move(act)) {
  Thread = std::thread([this] { Run(); });
}

void Robot::Finish() {
  CallReturned = true;
  if (Thread.joinable()) Thread.join();
}

void Robot::Run() {
  HWND dialog = nullptr;
  for (ULONGLONG start = GetTickCount64(); !dialog || !IsWindowVisible(dialog); Sleep(10)) {
    dialog = FindWindowW(L"#32770", Caption);
    if (CallReturned && !dialog) return;
    if (GetTickCount64() - start > 15000) {
      Cancelled = true;
      if (HWND any = FindWindowW(L"#32770", nullptr)) PostMessageW(any, WM_COMMAND, IDCANCEL, 0);
      return;
    }
  }
  SendMessageW(dialog, WM_NULL, 0, 0);  // one round trip: WM_INITDIALOG is over
  Found = true;
  Checked = IsDlgButtonChecked(dialog, kPrintDocuments) == BST_CHECKED;
  wchar_t text[2048] = {};
  GetDlgItemTextW(dialog, GetDlgItem(dialog, kPrinterEdit) ? kPrinterEdit : kPortNameEdit, text, 2048);
  Text = text;
  Act(dialog);
  for (int i = 0; i < 1000 && IsWindow(dialog); ++i) Sleep(10);
  if (IsWindow(dialog)) Cancelled = true, PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
}

void AskForScreenshot(HWND dialog, const char* name) {
  char folder[MAX_PATH] = {};
  GetEnvironmentVariableA("VARDLET_SCREENSHOT_DIR", folder, MAX_PATH);
  std::string done = std::string(folder) + "\\" + name + ".done";
  RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(300);
  RECT rect = {};
  GetWindowRect(dialog, &rect);
  auto xid = reinterpret_cast<ULONG_PTR>(GetPropW(dialog, L"__wine_x11_whole_window"));
  std::printf("SCREENSHOT %s 0x%lx %ld %ld %ld %ld\n", name, static_cast<unsigned long>(xid), rect.left,
              rect.top, rect.right - rect.left, rect.bottom - rect.top);
  std::fflush(stdout);
  for (int i = 0; i < 600 && GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
}

}  // namespace vt

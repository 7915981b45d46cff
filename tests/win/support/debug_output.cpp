#include "debug_output.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace vt {

namespace {

// Exception codes of OutputDebugStringA and (Windows 10 and later) of
// OutputDebugStringW, which raises the narrow one as well.
constexpr DWORD kPrintException = 0x40010006;      // DBG_PRINTEXCEPTION_C
constexpr DWORD kPrintExceptionWide = 0x4001000A;  // DBG_PRINTEXCEPTION_WIDE_C

std::atomic<DebugOutput*> Active{nullptr};

// Text of a wide message just recorded, so a narrow exception for the same
// call, next on the same thread, is not recorded twice.
thread_local std::string PendingNarrow;

std::string Narrow(const wchar_t* text, size_t length) {
  int size = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string result(size > 0 ? size : 0, '\0');
  if (size > 0)
    WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), result.data(), size, nullptr, nullptr);
  return result;
}

}  // namespace

DebugOutput::DebugOutput() {
  DebugOutput* expected = nullptr;
  if (!Active.compare_exchange_strong(expected, this)) {
    SetupError = "another DebugOutput is capturing in this process";
  } else {
    Handler = AddVectoredExceptionHandler(1, &DebugOutput::OnException);
    if (!Handler) {
      Active = nullptr;
      SetupError = "AddVectoredExceptionHandler failed";
    }
  }
}

DebugOutput::~DebugOutput() {
  if (Handler) {
    RemoveVectoredExceptionHandler(Handler);
    Active = nullptr;
  }
}

LONG CALLBACK DebugOutput::OnException(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  DebugOutput* capture = Active.load();
  if (!capture) return EXCEPTION_CONTINUE_SEARCH;
  const ULONG_PTR* info = record->ExceptionInformation;
  if (record->ExceptionCode == kPrintException && record->NumberParameters >= 2 && info[1]) {
    const char* text = reinterpret_cast<const char*>(info[1]);
    std::string message(text, strnlen(text, info[0]));
    bool duplicate = !PendingNarrow.empty() && PendingNarrow == message;
    PendingNarrow.clear();
    if (!duplicate) capture->Record(std::move(message));
  } else if (record->ExceptionCode == kPrintExceptionWide && record->NumberParameters >= 2 && info[1]) {
    const wchar_t* text = reinterpret_cast<const wchar_t*>(info[1]);
    std::string message = Narrow(text, wcsnlen(text, info[0]));
    PendingNarrow = message;
    capture->Record(std::move(message));
  }
  // Let OutputDebugString carry on as it would without us.
  return EXCEPTION_CONTINUE_SEARCH;
}

void DebugOutput::Record(std::string message) {
  std::lock_guard<std::mutex> guard(Lock);
  Captured.push_back(std::move(message));
}

std::vector<std::string> DebugOutput::Messages() {
  if (!IsListening()) return {"<debug output capture failed: " + SetupError + ">"};
  std::lock_guard<std::mutex> guard(Lock);
  return Captured;
}

std::string DebugOutput::Text() {
  std::string text;
  for (const std::string& message : Messages()) text += message;
  return text;
}

void DebugOutput::Clear() {
  std::lock_guard<std::mutex> guard(Lock);
  Captured.clear();
}

}  // namespace vt

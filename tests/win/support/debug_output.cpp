#include "debug_output.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vt {

namespace {

// Layout of the DBWIN_BUFFER mapping: writer's process id, then the text.
struct DbwinBuffer {
  DWORD ProcessId;
  char Text[4096 - sizeof(DWORD)];
};

std::string MarkerText(unsigned number) {
  char text[64];
  std::snprintf(text, sizeof text, "\x01vt-sync %lu %u\x01", GetCurrentProcessId(), number);
  return text;
}

}  // namespace

DebugOutput::DebugOutput() {
  BufferReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
  DataReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
  Mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                               sizeof(DbwinBuffer), L"DBWIN_BUFFER");
  if (Mapping) View = MapViewOfFile(Mapping, FILE_MAP_READ, 0, 0, 0);
  StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!BufferReady || !DataReady || !View || !StopEvent || !Arrived) {
    char text[80];
    std::snprintf(text, sizeof text, "DBWIN objects could not be created (%lu)", GetLastError());
    SetupError = text;
    return;
  }
  Listener = std::thread(&DebugOutput::Listen, this);
}

DebugOutput::~DebugOutput() {
  if (Listener.joinable()) {
    SetEvent(StopEvent);
    Listener.join();
  }
  if (View) UnmapViewOfFile(View);
  for (HANDLE handle : {Mapping, DataReady, BufferReady, StopEvent, Arrived})
    if (handle) CloseHandle(handle);
}

void DebugOutput::Listen() {
  const auto* buffer = static_cast<const DbwinBuffer*>(View);
  const DWORD self = GetCurrentProcessId();
  HANDLE waits[2] = {DataReady, StopEvent};
  for (;;) {
    SetEvent(BufferReady);
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) break;
    if (buffer->ProcessId != self) continue;
    std::string text(buffer->Text, strnlen(buffer->Text, sizeof buffer->Text));
    {
      std::lock_guard<std::mutex> guard(Lock);
      Captured.push_back(std::move(text));
    }
    SetEvent(Arrived);
  }
}

bool DebugOutput::WaitFor(const std::string& message, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(Lock);
      if (std::find(Captured.begin(), Captured.end(), message) != Captured.end()) return true;
    }
    ULONGLONG now = GetTickCount64();
    if (!IsListening() || now >= deadline) return false;
    WaitForSingleObject(Arrived, static_cast<DWORD>(deadline - now));
  }
}

// DBWIN hands messages over one at a time, in order: once a marker written
// now has arrived, so has everything written before it.
bool DebugOutput::Sync(DWORD timeoutMs) {
  if (!IsListening()) return false;
  std::string marker = MarkerText(++MarkerCount);
  OutputDebugStringA(marker.c_str());
  bool arrived = WaitFor(marker, timeoutMs);
  std::lock_guard<std::mutex> guard(Lock);
  Captured.erase(std::remove(Captured.begin(), Captured.end(), marker), Captured.end());
  return arrived;
}

std::vector<std::string> DebugOutput::Messages() {
  if (!Sync(5000)) return {"<debug output capture failed: " + SetupError + ">"};
  std::lock_guard<std::mutex> guard(Lock);
  return Captured;
}

std::string DebugOutput::Text() {
  std::string all;
  for (const std::string& message : Messages()) all += message;
  return all;
}

void DebugOutput::Clear() {
  Sync(5000);
  std::lock_guard<std::mutex> guard(Lock);
  Captured.clear();
}

}  // namespace vt

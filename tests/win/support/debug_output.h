// Captures this process's debugger output (OutputDebugStringA/W) the way a
// debug-output viewer does: through the DBWIN_BUFFER shared memory and its two
// events, on a listener thread. Wine hands OutputDebugStringW text over in the
// ANSI code page, so messages are byte strings; compare ASCII text.
//
// Only one listener may exist at a time in a prefix (the objects are global),
// which is why the Windows tests share one CTest resource lock.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vt {

class DebugOutput {
 public:
  // Starts listening at once; IsListening() tells whether that worked.
  DebugOutput();
  // Stops the listener and closes the DBWIN objects at once: while they exist
  // with nobody answering, every OutputDebugString call waits 10 s.
  ~DebugOutput();
  DebugOutput(const DebugOutput&) = delete;
  DebugOutput& operator=(const DebugOutput&) = delete;

  bool IsListening() const { return Listener.joinable(); }
  const std::string& Error() const { return SetupError; }

  // Every message of this process written before the call, in order, each
  // exactly as written (a message without a trailing line feed stays so).
  // Writes a marker and waits for it, so nothing written earlier is missed.
  std::vector<std::string> Messages();
  // All of Messages() run together.
  std::string Text();
  // Forgets everything captured so far (after a sync like Messages()).
  void Clear();
  // Waits until a message equal to `message` has arrived, or timeoutMs ends.
  bool WaitFor(const std::string& message, DWORD timeoutMs = 5000);

 private:
  void Listen();
  bool Sync(DWORD timeoutMs);

  HANDLE BufferReady = nullptr;
  HANDLE DataReady = nullptr;
  HANDLE StopEvent = nullptr;
  HANDLE Mapping = nullptr;
  const void* View = nullptr;
  std::thread Listener;
  std::string SetupError;

  std::mutex Lock;
  std::vector<std::string> Captured;
  HANDLE Arrived = nullptr;  // auto-reset; set after each message
  std::atomic<unsigned> MarkerCount{0};
};

}  // namespace vt

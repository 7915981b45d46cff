// Captures this process's debugger output (OutputDebugStringA/W).
//
// OutputDebugString first raises a DBG_PRINTEXCEPTION_C exception carrying
// the text, for a debugger to take; only when none does, the text goes on to
// the DBWIN shared buffer of debug-output viewers. A vectored exception
// handler sees that exception first, on the writing thread, before the call
// returns, so the capture is synchronous and exact: no listener thread, no
// DBWIN objects (whose listener thread crashes the 32-bit Wine under qemu
// user emulation, and which stall every writer for 10 s when a listener stops
// answering), no other process's messages. Under a real debugger the debugger
// takes the messages instead.
//
// Wine hands OutputDebugStringW text over converted to the ANSI code page, so
// messages are byte strings; compare ASCII text.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

namespace vt {

class DebugOutput {
 public:
  // Starts capturing at once. One capture at a time per process.
  DebugOutput();
  ~DebugOutput();
  DebugOutput(const DebugOutput&) = delete;
  DebugOutput& operator=(const DebugOutput&) = delete;

  bool IsListening() const { return Handler != nullptr; }
  const std::string& Error() const { return SetupError; }

  // Every message of this process since the start or the last Clear(), in
  // order, each exactly as written (no line feed is added or removed).
  std::vector<std::string> Messages();
  // All of Messages() run together.
  std::string Text();
  void Clear();

 private:
  static LONG CALLBACK OnException(EXCEPTION_POINTERS* pointers);
  void Record(std::string message);

  PVOID Handler = nullptr;
  std::string SetupError;
  std::mutex Lock;
  std::vector<std::string> Captured;
};

}  // namespace vt

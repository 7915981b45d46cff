// What a process holds, for the tests that count it before and after many
// calls: kernel handles, threads, heaps and the busy blocks on a heap.
#pragma once

#include <windows.h>
// After windows.h.
#include <tlhelp32.h>

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace vt {

// The process's kernel handles, counted the way OpenPrinterHandles counts
// printer handles: Wine gives out the lowest free slot, and a handle's value
// is four times its slot number plus four. (Wine's GetProcessHandleCount
// answers 0.)
inline size_t OpenKernelHandles(size_t probes = 256) {
  std::vector<HANDLE> handles;
  ULONG_PTR highest = 0;
  for (HANDLE h; handles.size() < probes && (h = CreateEventW(nullptr, TRUE, FALSE, nullptr));)
    handles.push_back(h), highest = std::max(highest, reinterpret_cast<ULONG_PTR>(h));
  for (HANDLE h : handles) CloseHandle(h);
  return handles.size() == probes ? highest / 4 - probes : static_cast<size_t>(-1);
}

// Threads of this process (a toolhelp snapshot).
inline size_t ThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  size_t count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    count += entry.th32OwnerProcessID == GetCurrentProcessId();
  CloseHandle(snapshot);
  return count;
}

// Busy blocks and their bytes on `heap`, or on all of the process's heaps
// (the library's private heaps among them).
inline std::pair<size_t, size_t> HeapUse(HANDLE heap = nullptr) {
  HANDLE heaps[64] = {heap};
  const DWORD count = heap ? 1 : std::min<DWORD>(GetProcessHeaps(64, heaps), 64);
  std::pair<size_t, size_t> use;
  for (DWORD i = 0; i < count; ++i) {
    PROCESS_HEAP_ENTRY entry = {};
    HeapLock(heaps[i]);
    while (HeapWalk(heaps[i], &entry))
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ++use.first, use.second += entry.cbData;
    HeapUnlock(heaps[i]);
  }
  return use;
}

// The heap a block was allocated on, or null. A port handle is the port
// object, so this finds the library's private heap of ports.
inline HANDLE HeapOf(const void* block) {
  HANDLE heaps[64];
  const DWORD count = std::min<DWORD>(GetProcessHeaps(64, heaps), 64);
  for (DWORD i = 0; i < count; ++i)
    if (HeapValidate(heaps[i], 0, block)) return heaps[i];
  return nullptr;
}

}  // namespace vt

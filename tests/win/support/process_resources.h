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

// Busy blocks and their bytes on a heap.
inline std::pair<size_t, size_t> HeapUse(HANDLE heap) {
  std::pair<size_t, size_t> use;
  PROCESS_HEAP_ENTRY entry = {};
  HeapLock(heap);
  while (HeapWalk(heap, &entry))
    if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ++use.first, use.second += entry.cbData;
  HeapUnlock(heap);
  return use;
}

// The process's heaps that are not in `before`.
inline std::vector<HANDLE> NewHeaps(const std::vector<HANDLE>& before) {
  std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16), added;
  heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
  for (HANDLE heap : heaps)
    if (std::find(before.begin(), before.end(), heap) == before.end()) added.push_back(heap);
  return added;
}

}  // namespace vt

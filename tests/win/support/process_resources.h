// What a process holds, for the tests that count it before and after many
// calls: kernel handles, heaps and the busy blocks on a heap.
#pragma once

#include <windows.h>

#include <cstddef>
#include <utility>
#include <vector>

namespace vt {

// The process's kernel handles, counted the way OpenPrinterHandles counts
// printer handles: Wine gives out the lowest free slot, and a handle's value
// is four times its slot number plus four. (Wine's GetProcessHandleCount
// answers 0.)
size_t OpenKernelHandles(size_t probes = 256);

// Threads of this process (a toolhelp snapshot).
size_t ThreadCount();

// Busy blocks and their bytes on a heap.
std::pair<size_t, size_t> HeapUse(HANDLE heap);

// The process's heaps that are not in `before`.
std::vector<HANDLE> NewHeaps(const std::vector<HANDLE>& before);

}  // namespace vt

// Memory that faults on access, for the tests of the monitor's guards.
#pragma once

#include <windows.h>

namespace vt {

// One page, committed with `protection` (PAGE_NOACCESS, PAGE_READONLY, ...).
class ProtectedPage {
 public:
  explicit ProtectedPage(DWORD protection) {
    Base = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    DWORD old = 0;
    if (Base && protection != PAGE_READWRITE && !VirtualProtect(Base, 4096, protection, &old)) {
      VirtualFree(Base, 0, MEM_RELEASE);
      Base = nullptr;
    }
  }
  ~ProtectedPage() {
    if (Base) VirtualFree(Base, 0, MEM_RELEASE);
  }
  ProtectedPage(const ProtectedPage&) = delete;
  ProtectedPage& operator=(const ProtectedPage&) = delete;

  bool Ok() const { return Base != nullptr; }
  BYTE* Bytes() const { return static_cast<BYTE*>(Base); }
  template <typename T>
  T* As() const {
    return static_cast<T*>(Base);
  }

 private:
  void* Base = nullptr;
};

// A committed read-write page full of L'x' characters, with a reserved page
// after it that was never committed: text that never ends, and buffers that
// run into memory that cannot be read.
class EdgePage {
 public:
  EdgePage() {
    Base = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE, PAGE_NOACCESS));
    if (Base && !VirtualAlloc(Base, kPage, MEM_COMMIT, PAGE_READWRITE)) {
      VirtualFree(Base, 0, MEM_RELEASE);
      Base = nullptr;
    }
    for (size_t i = 0; Base && i < kPage / sizeof(wchar_t); ++i) reinterpret_cast<wchar_t*>(Base)[i] = L'x';
  }
  ~EdgePage() {
    if (Base) VirtualFree(Base, 0, MEM_RELEASE);
  }
  EdgePage(const EdgePage&) = delete;
  EdgePage& operator=(const EdgePage&) = delete;

  bool Ok() const { return Base != nullptr; }
  // The first byte of the reserved page.
  BYTE* End() const { return Base + kPage; }
  LPWSTR Unterminated() const { return reinterpret_cast<LPWSTR>(End() - 16); }

 private:
  static constexpr SIZE_T kPage = 4096;
  BYTE* Base = nullptr;
};

// An address inside a region that was committed and released again.
inline void* ReleasedAddress() {
  void* base = VirtualAlloc(nullptr, 65536, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!base) return nullptr;
  VirtualFree(base, 0, MEM_RELEASE);
  return static_cast<BYTE*>(base) + 256;
}

}  // namespace vt

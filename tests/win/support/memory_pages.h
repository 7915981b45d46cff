// Memory that faults on access, for the tests of the monitor's guards.
#pragma once

#include <windows.h>

namespace vt {

// One page, committed with `protection` (PAGE_NOACCESS, PAGE_READONLY, ...).
class ProtectedPage {
 public:
  explicit ProtectedPage(DWORD protection);
  ~ProtectedPage();
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
  EdgePage();
  ~EdgePage();
  EdgePage(const EdgePage&) = delete;
  EdgePage& operator=(const EdgePage&) = delete;

  bool Ok() const { return Base != nullptr; }
  // The first byte of the reserved page.
  BYTE* End() const { return Base + Page; }
  LPWSTR Unterminated() const { return reinterpret_cast<LPWSTR>(End() - 16); }

 private:
  BYTE* Base = nullptr;
  SIZE_T Page = 4096;
};

// An address inside a region that was committed and released again.
void* ReleasedAddress();

}  // namespace vt

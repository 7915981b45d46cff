// Memory that faults on access, for the fault-guard tests: a committed page
// with a chosen protection, or an address range that is no longer mapped.
#pragma once

#include <windows.h>

namespace vt {

class ProtectedPage {
 public:
  // One page, committed with `protection` (PAGE_NOACCESS, PAGE_READONLY, ...).
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

// An address inside a region that was reserved, committed and released again:
// nothing is mapped there (until the next allocation reuses it).
void* ReleasedAddress();

}  // namespace vt

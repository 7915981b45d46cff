#include "memory_pages.h"

namespace vt {

ProtectedPage::ProtectedPage(DWORD protection) {
  Base = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  DWORD old = 0;
  if (Base && protection != PAGE_READWRITE && !VirtualProtect(Base, 4096, protection, &old)) {
    VirtualFree(Base, 0, MEM_RELEASE);
    Base = nullptr;
  }
}

ProtectedPage::~ProtectedPage() {
  if (Base) VirtualFree(Base, 0, MEM_RELEASE);
}

EdgePage::EdgePage() {
  Base = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * Page, MEM_RESERVE, PAGE_NOACCESS));
  if (Base && !VirtualAlloc(Base, Page, MEM_COMMIT, PAGE_READWRITE)) {
    VirtualFree(Base, 0, MEM_RELEASE);
    Base = nullptr;
  }
  for (size_t i = 0; Base && i < Page / sizeof(wchar_t); ++i) reinterpret_cast<wchar_t*>(Base)[i] = L'x';
}

EdgePage::~EdgePage() {
  if (Base) VirtualFree(Base, 0, MEM_RELEASE);
}

void* ReleasedAddress() {
  void* base = VirtualAlloc(nullptr, 65536, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!base) return nullptr;
  VirtualFree(base, 0, MEM_RELEASE);
  return static_cast<BYTE*>(base) + 256;
}

}  // namespace vt

#include "import_patch.h"

namespace vt {
namespace {

void Store(void** slot, void* value) {
  DWORD old = 0;
  VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
  *slot = value;
  VirtualProtect(slot, sizeof *slot, old, &old);
}

}  // namespace

ImportPatch::ImportPatch(HMODULE module, const char* dllName, const char* functionName,
                         void* replacement) {
  BYTE* base = reinterpret_cast<BYTE*>(module);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       dir.VirtualAddress != 0 && imp->Name != 0; ++imp) {
    if (lstrcmpiA(reinterpret_cast<char*>(base + imp->Name), dllName) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
    auto* slots = reinterpret_cast<void**>(base + imp->FirstThunk);
    for (size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
      if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
      if (lstrcmpA(reinterpret_cast<char*>(byName->Name), functionName) != 0) continue;
      Slot = &slots[i];
      Saved = *Slot;
      Store(Slot, replacement);
      return;
    }
  }
}

ImportPatch::~ImportPatch() {
  if (Slot) Store(Slot, Saved);
}

}  // namespace vt

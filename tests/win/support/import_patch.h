// Replaces one imported function of a loaded module (its import address
// table entry) for the life of the object, so a test can make a platform
// call fail without a code, or hold a call open to widen a race on purpose.
// The replacement must have the imported function's exact type.
#pragma once

#include <windows.h>

namespace vt {

class ImportPatch {
 public:
  ImportPatch(HMODULE module, const char* dllName, const char* functionName, void* replacement) {
    BYTE* base = reinterpret_cast<BYTE*>(module);
    auto* nt =
        reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         dir.VirtualAddress != 0 && imp->Name != 0 && !Slot; ++imp) {
      if (lstrcmpiA(reinterpret_cast<char*>(base + imp->Name), dllName) != 0) continue;
      auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
      auto* slots = reinterpret_cast<void**>(base + imp->FirstThunk);
      for (size_t i = 0; names[i].u1.AddressOfData != 0 && !Slot; ++i) {
        auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
        if (!IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal) &&
            lstrcmpA(reinterpret_cast<char*>(byName->Name), functionName) == 0)
          Slot = &slots[i];
      }
    }
    if (!Slot) return;
    Saved = *Slot;
    Store(replacement);
  }
  ~ImportPatch() {
    if (Slot) Store(Saved);
  }
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  bool Ok() const { return Slot != nullptr; }

 private:
  void Store(void* value) {
    DWORD old = 0;
    VirtualProtect(Slot, sizeof *Slot, PAGE_READWRITE, &old);
    *Slot = value;
    VirtualProtect(Slot, sizeof *Slot, old, &old);
  }

  void** Slot = nullptr;
  void* Saved = nullptr;
};

}  // namespace vt

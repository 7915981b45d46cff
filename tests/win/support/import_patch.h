// Replaces one imported function of a loaded module (its import address
// table entry) for the life of the object, so a test can make a platform
// call fail without a code, or hold a call open to widen a race on purpose.
// The replacement must have the imported function's exact type.
#pragma once

#include <windows.h>

namespace vt {

class ImportPatch {
 public:
  ImportPatch(HMODULE module, const char* dllName, const char* functionName, void* replacement);
  ~ImportPatch();
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  bool Ok() const { return Slot != nullptr; }
  // The function the module imported; null if the import was not found.
  void* Original() const { return Saved; }

 private:
  void** Slot = nullptr;
  void* Saved = nullptr;
};

}  // namespace vt

#include "vardlet_module.h"


namespace vt {

std::wstring VardletModule::Path() {
  wchar_t exe[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path(exe, length);
  path.erase(path.find_last_of(L"\\/") + 1);
  return path + L"vardlet.dll";
}

bool VardletModule::Load() {
  if (Module) return true;
  LastError.clear();
  Module = LoadLibraryW(Path().c_str());
  if (!Module) {
    LastError = "LoadLibraryW(vardlet.dll) failed with " + std::to_string(GetLastError());
    return false;
  }
  const char* missing = nullptr;
  if (ResolveVardletExports(Module, &Exports, &missing)) return true;
  Unload();
  LastError = std::string("vardlet.dll does not export ") + missing;
  return false;
}

bool VardletModule::Unload() {
  if (!Module) return true;
  HMODULE module = Module;
  Module = nullptr;
  Exports = {};
  if (!FreeLibrary(module)) {
    LastError = "FreeLibrary(vardlet.dll) failed";
    return false;
  }
  // Someone else holding a reference would keep the old monitor alive.
  if (GetModuleHandleW(Path().c_str())) {
    LastError = "vardlet.dll is still loaded after FreeLibrary";
    return false;
  }
  return true;
}

}  // namespace vt

#include "vardlet_module.h"

#include <cstdio>

namespace vt {

namespace {

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn& slot, std::string& error) {
  FARPROC address = GetProcAddress(module, name);
  if (!address) {
    error = std::string("vardlet.dll does not export ") + name;
    return false;
  }
  slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
  return true;
}

}  // namespace

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
    char text[96];
    std::snprintf(text, sizeof text, "LoadLibraryW(vardlet.dll) failed with %lu", GetLastError());
    LastError = text;
    return false;
  }
  bool ok = Resolve(Module, "InitializeMonitor", Exports.InitializeMonitor, LastError) &&
            Resolve(Module, "AddPortW", Exports.AddPortW, LastError) &&
            Resolve(Module, "AddPortExW", Exports.AddPortExW, LastError) &&
            Resolve(Module, "EnumPortsW", Exports.EnumPortsW, LastError) &&
            Resolve(Module, "DeletePortW", Exports.DeletePortW, LastError) &&
            Resolve(Module, "ConfigurePortW", Exports.ConfigurePortW, LastError) &&
            Resolve(Module, "OpenPort", Exports.OpenPort, LastError) &&
            Resolve(Module, "ClosePort", Exports.ClosePort, LastError) &&
            Resolve(Module, "StartDocPort", Exports.StartDocPort, LastError) &&
            Resolve(Module, "EndDocPort", Exports.EndDocPort, LastError) &&
            Resolve(Module, "WritePort", Exports.WritePort, LastError) &&
            Resolve(Module, "ReadPort", Exports.ReadPort, LastError);
  if (!ok) {
    std::string error = LastError;
    Unload();
    LastError = error;
  }
  return ok;
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

// Loads vardlet.dll the way the spooler does (LoadLibrary + GetProcAddress of
// the twelve exports), so the tests never link against it and can unload and
// reload it: every load gives a fresh monitor object.
#pragma once

#include <windows.h>

#include <string>

#include "vardletexports.h"

namespace vt {

using VardletExports = VARDLET_EXPORTS;

class VardletModule {
 public:
  VardletModule() = default;
  ~VardletModule() { Unload(); }
  VardletModule(const VardletModule&) = delete;
  VardletModule& operator=(const VardletModule&) = delete;

  // vardlet.dll in the test program's own folder.
  static std::wstring Path();

  // Loads the library and resolves all twelve exports. On failure returns
  // false and Error() says why (load error code or the missing export).
  bool Load();
  // Frees the library; the process detach destroys the monitor and its ports.
  // Afterwards the module is really gone from the process (checked).
  bool Unload();
  bool Reload() { return Unload() && Load(); }

  const std::string& Error() const { return LastError; }

  const VardletExports* operator->() const { return &Exports; }
  const VardletExports& Get() const { return Exports; }
  HMODULE Handle() const { return Module; }

 private:
  HMODULE Module = nullptr;
  VardletExports Exports = {};
  std::string LastError;
};

}  // namespace vt

// Registry helpers for set-up and checks, on the prefix's real registry.
// Every path is relative to HKEY_LOCAL_MACHINE.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace vt {

// Deletes `path` with all its subkeys; a missing key is success. Keys whose
// security bars the deletion (DenyRead) are opened up again first.
LSTATUS DeleteKeyTree(const std::wstring& path);
LSTATUS CreateKey(const std::wstring& path);
bool KeyExists(const std::wstring& path);
// Names of the direct subkeys, in the registry's enumeration order.
std::vector<std::wstring> Subkeys(const std::wstring& path);

struct RawValue {
  DWORD Type = REG_NONE;
  std::vector<BYTE> Data;
  bool operator==(const RawValue& other) const { return Type == other.Type && Data == other.Data; }
};
LSTATUS WriteRaw(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, size_t size);
LSTATUS WriteDword(const std::wstring& path, const wchar_t* name, DWORD value);
LSTATUS WriteString(const std::wstring& path, const wchar_t* name, const std::wstring& value);
std::optional<RawValue> ReadRaw(const std::wstring& path, const wchar_t* name);
// The value if it is a REG_DWORD of four bytes.
std::optional<DWORD> ReadDword(const std::wstring& path, const wchar_t* name);
// The value if it is a REG_SZ, up to its first terminator.
std::optional<std::wstring> ReadString(const std::wstring& path, const wchar_t* name);

// Replaces the key's DACL by one that lets everybody delete it and change its
// security but not read or write it. (Wine ignores the security attributes
// of RegCreateKeyExW but honours RegSetKeySecurity.)
LSTATUS DenyRead(const std::wstring& path);

// A monitor registry root of one test's own, named after the running test:
// SYSTEM\CurrentControlSet\Control\Print\Monitors\Vardlet Test\<suite>.<test>.
// Deleted when made (leftovers of an earlier run) and when destroyed; not
// created: InitializeMonitor does that.
class MonitorRoot {
 public:
  MonitorRoot();
  ~MonitorRoot();
  MonitorRoot(const MonitorRoot&) = delete;
  MonitorRoot& operator=(const MonitorRoot&) = delete;

  const std::wstring& Path() const { return KeyPath; }
  LPWSTR Arg() { return KeyPath.data(); }
  std::wstring Child(const std::wstring& subkey) const { return KeyPath + L"\\" + subkey; }
  // Creates the root and one subkey per name, in the given order.
  LSTATUS AddPortKeys(const std::vector<std::wstring>& keyNames);
  // A port key that passes every job through to `printer` ("Print" 1,
  // "Print To" the printer), as the settings are stored.
  LSTATUS AddPassThroughKey(const std::wstring& keyName, const std::wstring& printer);

 private:
  std::wstring KeyPath;
};

}  // namespace vt

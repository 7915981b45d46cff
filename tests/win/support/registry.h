// Registry helpers for test set-up and checks, on the prefix's real registry.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace vt {

// Deletes `path` under `root` with all its subkeys. A missing key is success.
// Keys whose security bars the deletion are first opened up again (the
// failure tests deny access to some keys on purpose).
LSTATUS DeleteKeyTree(HKEY root, const std::wstring& path);

LSTATUS CreateKey(HKEY root, const std::wstring& path);
bool KeyExists(HKEY root, const std::wstring& path);
// Names of the direct subkeys, in the registry's enumeration order.
std::vector<std::wstring> Subkeys(HKEY root, const std::wstring& path);

LSTATUS WriteDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD value);
LSTATUS WriteString(HKEY root, const std::wstring& path, const wchar_t* name,
                    const std::wstring& value);
std::optional<DWORD> ReadDword(HKEY root, const std::wstring& path, const wchar_t* name);
std::optional<std::wstring> ReadString(HKEY root, const std::wstring& path, const wchar_t* name);

// Replaces the key's DACL by one that lets everybody delete it and change its
// security but not read it: RegOpenKeyExW(KEY_READ) then fails with
// ERROR_ACCESS_DENIED. (Wine ignores the security attributes of
// RegCreateKeyExW but honours RegSetKeySecurity.)
LSTATUS DenyRead(HKEY root, const std::wstring& path);
// Gives everybody full access to the key again.
LSTATUS AllowAll(HKEY root, const std::wstring& path);

// A monitor registry root of its own for one test, under HKLM:
// SYSTEM\CurrentControlSet\Control\Print\Monitors\Vardlet Test\<name>.
// The key is deleted when the object is made (leftovers of an earlier run)
// and again when it is destroyed; it is not created: InitializeMonitor does.
class MonitorRoot {
 public:
  // Named after the running GoogleTest test: "<suite>.<test>".
  MonitorRoot();
  explicit MonitorRoot(std::wstring name);
  ~MonitorRoot();
  MonitorRoot(const MonitorRoot&) = delete;
  MonitorRoot& operator=(const MonitorRoot&) = delete;

  // Path relative to HKLM, as InitializeMonitor takes it.
  const std::wstring& Path() const { return KeyPath; }
  LPWSTR Arg() { return KeyPath.data(); }
  std::wstring Child(const std::wstring& subkey) const { return KeyPath + L"\\" + subkey; }

  // Creates the root (if needed) and one subkey per name, in the given order.
  LSTATUS AddPortKeys(const std::vector<std::wstring>& keyNames);

 private:
  std::wstring KeyPath;
};

}  // namespace vt

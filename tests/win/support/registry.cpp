#include "registry.h"

#include <gtest/gtest.h>
#include <sddl.h>


namespace vt {

namespace {

const wchar_t kTestMonitorsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet Test";

class Key {
 public:
  ~Key() {
    if (Handle) RegCloseKey(Handle);
  }
  LSTATUS Open(HKEY root, const std::wstring& path, REGSAM access) {
    return RegOpenKeyExW(root, path.c_str(), 0, access, &Handle);
  }
  HKEY Handle = nullptr;
};

LSTATUS SetDacl(const std::wstring& path, const wchar_t* sddl) {
  Key key;
  LSTATUS status = key.Open(HKEY_LOCAL_MACHINE, path, WRITE_DAC);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (status != ERROR_SUCCESS) return status;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
    return static_cast<LSTATUS>(GetLastError());
  status = RegSetKeySecurity(key.Handle, DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  return status;
}

}  // namespace

LSTATUS DeleteKeyTree(const std::wstring& path) {
  // Also opens up what DenyRead closed.
  if (SetDacl(path, L"D:(A;;KA;;;WD)") == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  for (const std::wstring& child : Subkeys(path)) {
    LSTATUS status = DeleteKeyTree(path + L"\\" + child);
    if (status != ERROR_SUCCESS) return status;
  }
  LSTATUS status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

LSTATUS CreateKey(const std::wstring& path) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_READ, nullptr, &key, nullptr);
  if (key) RegCloseKey(key);
  return status;
}

bool KeyExists(const std::wstring& path) {
  Key key;
  return key.Open(HKEY_LOCAL_MACHINE, path, KEY_QUERY_VALUE) == ERROR_SUCCESS;
}

std::vector<std::wstring> Subkeys(const std::wstring& path) {
  std::vector<std::wstring> names;
  Key key;
  if (key.Open(HKEY_LOCAL_MACHINE, path, KEY_ENUMERATE_SUB_KEYS) != ERROR_SUCCESS) return names;
  wchar_t name[256];
  for (DWORD index = 0, length = 256;
       RegEnumKeyExW(key.Handle, index, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       ++index, length = 256)
    names.emplace_back(name, length);
  return names;
}

LSTATUS WriteRaw(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, size_t size) {
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, type, data, static_cast<DWORD>(size));
}

LSTATUS WriteDword(const std::wstring& path, const wchar_t* name, DWORD value) {
  return WriteRaw(path, name, REG_DWORD, &value, sizeof value);
}

LSTATUS WriteString(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  return WriteRaw(path, name, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
}

std::optional<RawValue> ReadRaw(const std::wstring& path, const wchar_t* name) {
  Key key;
  RawValue value;
  DWORD size = 0;
  if (key.Open(HKEY_LOCAL_MACHINE, path, KEY_QUERY_VALUE) != ERROR_SUCCESS ||
      RegQueryValueExW(key.Handle, name, nullptr, &value.Type, nullptr, &size) != ERROR_SUCCESS)
    return std::nullopt;
  value.Data.resize(size);
  if (RegQueryValueExW(key.Handle, name, nullptr, &value.Type, value.Data.data(), &size) != ERROR_SUCCESS)
    return std::nullopt;
  return value;
}

std::optional<DWORD> ReadDword(const std::wstring& path, const wchar_t* name) {
  std::optional<RawValue> raw = ReadRaw(path, name);
  if (!raw || raw->Type != REG_DWORD || raw->Data.size() != sizeof(DWORD)) return std::nullopt;
  return *reinterpret_cast<const DWORD*>(raw->Data.data());
}

std::optional<std::wstring> ReadString(const std::wstring& path, const wchar_t* name) {
  std::optional<RawValue> raw = ReadRaw(path, name);
  if (!raw || raw->Type != REG_SZ) return std::nullopt;
  std::wstring text(reinterpret_cast<const wchar_t*>(raw->Data.data()), raw->Data.size() / 2);
  return text.substr(0, text.find(L'\0'));
}

LSTATUS DenyRead(const std::wstring& path) {
  return SetDacl(path, L"D:P(A;;SDWD;;;WD)");  // everyone: DELETE and WRITE_DAC only
}


MonitorRoot::MonitorRoot() {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "no-test";
  KeyPath = std::wstring(kTestMonitorsKey) + L"\\" + std::wstring(name.begin(), name.end());
  DeleteKeyTree(KeyPath);
}

MonitorRoot::~MonitorRoot() { DeleteKeyTree(KeyPath); }

LSTATUS MonitorRoot::AddPortKeys(const std::vector<std::wstring>& keyNames) {
  LSTATUS status = CreateKey(KeyPath);
  for (size_t i = 0; i < keyNames.size() && status == ERROR_SUCCESS; ++i)
    status = CreateKey(Child(keyNames[i]));
  return status;
}

LSTATUS MonitorRoot::AddPassThroughKey(const std::wstring& keyName, const std::wstring& printer) {
  LSTATUS status = AddPortKeys({keyName});
  if (status == ERROR_SUCCESS) status = WriteDword(Child(keyName), L"Print", 1);
  return status == ERROR_SUCCESS ? WriteString(Child(keyName), L"Print To", printer) : status;
}

}  // namespace vt

#include "registry.h"

#include <sddl.h>

#include <gtest/gtest.h>

namespace vt {

namespace {

const wchar_t kTestMonitorsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet Test";

class Key {
 public:
  Key() = default;
  ~Key() {
    if (Handle) RegCloseKey(Handle);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  LSTATUS Open(HKEY root, const std::wstring& path, REGSAM access) {
    return RegOpenKeyExW(root, path.c_str(), 0, access, &Handle);
  }
  LSTATUS Create(HKEY root, const std::wstring& path, REGSAM access) {
    return RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                           &Handle, nullptr);
  }
  HKEY Handle = nullptr;
};

LSTATUS SetDacl(HKEY root, const std::wstring& path, const wchar_t* sddl) {
  Key key;
  LSTATUS status = key.Open(root, path, WRITE_DAC);
  if (status != ERROR_SUCCESS) return status;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr))
    return static_cast<LSTATUS>(GetLastError());
  status = RegSetKeySecurity(key.Handle, DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  return status;
}

LSTATUS DeleteTreeOnce(HKEY root, const std::wstring& path) {
  Key key;
  LSTATUS status = key.Open(root, path, KEY_READ);
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (status == ERROR_ACCESS_DENIED) {
    AllowAll(root, path);
    status = key.Open(root, path, KEY_READ);
  }
  if (status != ERROR_SUCCESS) return status;
  for (const std::wstring& child : Subkeys(key.Handle, L"")) {
    status = DeleteTreeOnce(key.Handle, child);
    if (status != ERROR_SUCCESS) return status;
  }
  status = RegDeleteKeyW(root, path.c_str());
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

std::wstring CurrentTestName() {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "no-test";
  return std::wstring(name.begin(), name.end());
}

}  // namespace

LSTATUS DeleteKeyTree(HKEY root, const std::wstring& path) { return DeleteTreeOnce(root, path); }

LSTATUS CreateKey(HKEY root, const std::wstring& path) {
  Key key;
  return key.Create(root, path, KEY_READ);
}

bool KeyExists(HKEY root, const std::wstring& path) {
  Key key;
  return key.Open(root, path, KEY_QUERY_VALUE) == ERROR_SUCCESS;
}

std::vector<std::wstring> Subkeys(HKEY root, const std::wstring& path) {
  std::vector<std::wstring> names;
  Key key;
  if (key.Open(root, path, KEY_ENUMERATE_SUB_KEYS) != ERROR_SUCCESS) return names;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = 256;
    if (RegEnumKeyExW(key.Handle, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    names.emplace_back(name, length);
  }
  return names;
}

LSTATUS WriteDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD value) {
  return RegSetKeyValueW(root, path.c_str(), name, REG_DWORD, &value, sizeof value);
}

LSTATUS WriteString(HKEY root, const std::wstring& path, const wchar_t* name,
                    const std::wstring& value) {
  return RegSetKeyValueW(root, path.c_str(), name, REG_SZ, value.c_str(),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::optional<DWORD> ReadDword(HKEY root, const std::wstring& path, const wchar_t* name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  return value;
}

std::optional<std::wstring> ReadString(HKEY root, const std::wstring& path, const wchar_t* name) {
  DWORD size = 0;
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  std::wstring value(size / sizeof(wchar_t), L'\0');
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, value.data(), &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  value.resize(wcsnlen(value.c_str(), value.size()));
  return value;
}

LSTATUS DenyRead(HKEY root, const std::wstring& path) {
  // Everyone: standard DELETE and WRITE_DAC only.
  return SetDacl(root, path, L"D:P(A;;SDWD;;;WD)");
}

LSTATUS AllowAll(HKEY root, const std::wstring& path) {
  return SetDacl(root, path, L"D:(A;;KA;;;WD)");
}

MonitorRoot::MonitorRoot() : MonitorRoot(CurrentTestName()) {}

MonitorRoot::MonitorRoot(std::wstring name)
    : KeyPath(std::wstring(kTestMonitorsKey) + L"\\" + std::move(name)) {
  DeleteKeyTree(HKEY_LOCAL_MACHINE, KeyPath);
}

MonitorRoot::~MonitorRoot() { DeleteKeyTree(HKEY_LOCAL_MACHINE, KeyPath); }

LSTATUS MonitorRoot::AddPortKeys(const std::vector<std::wstring>& keyNames) {
  LSTATUS status = CreateKey(HKEY_LOCAL_MACHINE, KeyPath);
  for (const std::wstring& name : keyNames) {
    if (status != ERROR_SUCCESS) break;
    status = CreateKey(HKEY_LOCAL_MACHINE, Child(name));
  }
  return status;
}

}  // namespace vt

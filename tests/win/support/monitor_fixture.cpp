#include "monitor_fixture.h"

#include <winspool.h>

namespace vt {

void MonitorTest::SetUp() {
  ASSERT_TRUE(Debug.IsListening()) << Debug.Error();
  ASSERT_TRUE(Module.Load()) << Module.Error();
}

void MonitorTest::TearDown() { EXPECT_TRUE(Module.Unload()) << Module.Error(); }

void MonitorTest::Initialize(const std::vector<std::wstring>& portKeys) {
  if (!portKeys.empty()) {
    ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys(portKeys));
  }
  SetLastError(kSentinel);
  ASSERT_TRUE(Module->InitializeMonitor(Root.Arg())) << "error " << GetLastError();
}

std::vector<std::wstring> MonitorTest::PortNames() {
  DWORD needed = 0;
  DWORD returned = 0;
  Module->EnumPortsW(nullptr, 1, nullptr, 0, &needed, &returned);
  // Room for one more record than asked, so an empty list still has a buffer.
  std::vector<BYTE> buffer(needed + sizeof(PORT_INFO_1W));
  if (!Module->EnumPortsW(nullptr, 1, buffer.data(), static_cast<DWORD>(buffer.size()), &needed,
                          &returned)) {
    ADD_FAILURE() << "EnumPortsW failed with " << GetLastError();
    return {};
  }
  std::vector<std::wstring> names;
  const auto* records = reinterpret_cast<const PORT_INFO_1W*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i)
    names.push_back(records[i].pName ? records[i].pName : L"<null>");
  return names;
}

HANDLE MonitorTest::Open(const wchar_t* portName) {
  HANDLE port = nullptr;
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->OpenPort(const_cast<LPWSTR>(portName), &port))
      << "OpenPort failed with " << GetLastError();
  return port;
}

}  // namespace vt

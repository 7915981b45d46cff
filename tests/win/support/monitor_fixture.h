// Base fixture of the tests that drive vardlet.dll through its exports: each
// test gets a freshly loaded library (so a fresh monitor object), a registry
// root of its own and a capture of the debugger output.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "debug_output.h"
#include "registry.h"
#include "vardlet_module.h"

namespace vt {

class MonitorTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // InitializeMonitor on this test's root, after creating one subkey per
  // name (in that order). Expects success.
  void Initialize(const std::vector<std::wstring>& portKeys = {});

  // Port names as EnumPortsW level 1 reports them, in the monitor's order.
  std::vector<std::wstring> PortNames();

  // OpenPort that must succeed.
  HANDLE Open(const wchar_t* portName);

  // Declared first: destroyed last, so the messages of the library's unload
  // in TearDown are still captured.
  DebugOutput Debug;
  MonitorRoot Root;
  VardletModule Module;
};

// Sentinel for the thread's last error before each call under test.
inline constexpr DWORD kSentinel = 0xdeadbeef;

}  // namespace vt

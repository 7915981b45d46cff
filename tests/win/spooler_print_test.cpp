// Jobs through Wine's spooler onto a vardlet port: a monitor failure, and
// printing while ports are administered. (A RAW job and a page from Wine's
// PostScript driver, each recorded and passed through, are what demo/run.sh
// shows end to end.)

#include <algorithm>
#include <cstdio>
#include <memory>

#include "monitor_fixture.h"
#include "spooler.h"
#include "watched_threads.h"
#include "xcvcommands.h"

namespace {

const wchar_t kPort[] = L"VSPOOL1:";
const wchar_t kPrinter[] = L"Vardlet Spool Printer";

class SpoolerPrintTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(vt::InstallSpoolerMonitor(), "");
    vt::Xcv(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER).Name(VARDLET_XCV_ADD_PORT, kPort);
  }
  void SetUp() override {
    ASSERT_TRUE(printer.Ok());
    vt::DeleteKeyTree(vt::kRecordRoot);
  }

  vt::ScratchPrinter printer{kPrinter, kPort};
};

std::string Pattern(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; i++) data[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
  return data;
}

// A job is never lost silently: the spooler's EndDocPrinter fails (Wine gives
// ERROR_INVALID_HANDLE, not the monitor's code) and the monitor says why.
TEST_F(SpoolerPrintTest, MonitorFailureFailsEndDocPrinterWithTheMonitorsMessage) {
  vt::Xcv port(std::wstring(L"XcvPort ") + kPort, SERVER_ACCESS_ADMINISTER);
  ASSERT_EQ(port.SetSettings(1, vt::kMissingPrinter), 0u);
  vt::DebugOutput debug;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(vt::PrintRaw(kPrinter, L"lost", Pattern(5000, 1)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(vt::ReadRecord(kPrinter, L"lost").has_value());
  // OpenPrinterW's own refusal of the missing pass-through printer.
  EXPECT_NE(debug.Text().find("StartDocPort(): the job failed: error 1801."), std::string::npos) << debug.Text();
}

// Programs' threads print to their own vardlet ports through the spooler
// while others add, list and delete ports through winspool, for about 20 s
// under a watchdog. Every job's record must be right; a job that fails or
// records nothing counts as lost.
TEST_F(SpoolerPrintTest, PrintingWhileOthersAdministerPortsLosesNothing) {
  constexpr int kPrinters = 6, kAdmins = 2;
  std::vector<std::unique_ptr<vt::ScratchPrinter>> printers;
  vt::Xcv monitor(L"XcvMonitor Vardlet", SERVER_ACCESS_ADMINISTER);
  for (int t = 0; t < kPrinters; t++) {
    std::wstring port = L"LOAD" + std::to_wstring(t) + L":";
    ASSERT_EQ(0u, monitor.Name(VARDLET_XCV_ADD_PORT, port));
    printers.push_back(std::make_unique<vt::ScratchPrinter>((L"Load Printer " + std::to_wstring(t)).c_str(), port));
    ASSERT_TRUE(printers.back()->Ok());
  }
  const ULONGLONG deadline = GetTickCount64() + 20000;
  std::atomic<int> jobs{0}, lost{0}, adminRounds{0}, adminErrors{0};
  std::deque<vt::Worker> workers;
  for (int t = 0; t < kPrinters; t++) {
    workers.emplace_back().Name = "printing thread " + std::to_string(t);
    workers.back().Step = [&, t](vt::Worker& self, int n) {
      std::string data = Pattern(1 + (n * 7919) % 20000, t * 1000 + n);
      std::wstring document = L"load " + std::to_wstring(n);
      self.Doing = "PrintRaw";
      if (vt::PrintRaw(printers[t]->Name(), document, data) != 0 ||
          vt::ReadRecord(printers[t]->Name(), document) != vt::ExpectedChecksum({data}))
        lost++;
      return ++jobs, GetTickCount64() < deadline;
    };
  }
  for (int a = 0; a < kAdmins; a++) {
    workers.emplace_back().Name = "administering thread " + std::to_string(a);
    workers.back().Step = [&, a](vt::Worker& self, int) {
      std::wstring port = L"CHURN" + std::to_wstring(a) + L":";
      PORT_INFO_1W info = {&port[0]};
      self.Doing = "AddPortExW";
      if (!AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&info), const_cast<LPWSTR>(VARDLET_MONITOR_NAME)))
        adminErrors++;
      self.Doing = "EnumPortsW";
      std::vector<std::wstring> listed = vt::SpoolerPorts();
      if (std::find(listed.begin(), listed.end(), L"LOAD0:") == listed.end()) adminErrors++;
      self.Doing = "DeletePortW";
      if (!DeletePortW(nullptr, nullptr, &port[0])) adminErrors++;
      return ++adminRounds, GetTickCount64() < deadline;
    };
  }
  vt::RunWatched(workers, 80000);  // a hang ends the run with a clear message, not a timeout
  std::printf("%d jobs by %d threads, %d administration rounds by %d threads in 20 s\n", jobs.load(), kPrinters,
              adminRounds.load(), kAdmins);
  EXPECT_EQ(0, lost.load()) << "of " << jobs.load() << " jobs";
  EXPECT_EQ(0, adminErrors.load()) << "in " << adminRounds.load() << " rounds";
  EXPECT_GT(jobs.load(), kPrinters);
  for (int t = 0; t < kPrinters; t++) {
    printers[t]->Delete();
    monitor.Name(VARDLET_XCV_DELETE_PORT, L"LOAD" + std::to_wstring(t) + L":");
  }
}

}  // namespace

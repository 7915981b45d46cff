// Failures that come from the platform rather than from the caller: printers
// that disappear in the middle of a job, a pass-through printer that refuses
// the end of a document or takes seconds over it, port keys that cannot be
// written, deleted or read. Each one ends the way the monitor's code says,
// with the platform's own error code, and afterwards the monitor still serves
// its other ports: a job on one of them is recorded with the right checksum.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "monitor_fixture.h"
#include "printers.h"
#include "registry.h"
#include "reliability_support.h"
#include "test_printers.h"

namespace vt {
namespace {

using Names = std::vector<std::wstring>;

const wchar_t kHealthyPort[] = L"HEALTHY:";
const wchar_t kDocument[] = L"vt-fault document";
const wchar_t kServedDocument[] = L"vt-fault still served";

class PlatformFault : public MonitorTest {
 protected:
  void TearDown() override {
    for (const wchar_t* printer : {kJobPrinter.Name, kOtherJobPrinter.Name}) {
      DeleteRecord(printer, kDocument);
      DeleteRecord(printer, kServedDocument);
    }
    MonitorTest::TearDown();
  }

  // A port key that passes every job through to `printer`.
  void AddPassThroughKey(const wchar_t* port, const wchar_t* printer) {
    ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({port}));
    ASSERT_EQ(ERROR_SUCCESS, WriteDword(HKEY_LOCAL_MACHINE, Root.Child(port), L"Print", 1));
    ASSERT_EQ(ERROR_SUCCESS, WriteString(HKEY_LOCAL_MACHINE, Root.Child(port), L"Print To", printer));
  }

  BOOL Write(HANDLE port, const std::string& data, DWORD* written) {
    SetLastError(kSentinel);
    return Module->WritePort(port, Bytes(data), static_cast<DWORD>(data.size()), written);
  }

  bool SaidChecksum(uint32_t checksum) {
    std::vector<std::string> messages = Debug.Messages();
    return std::count(messages.begin(), messages.end(),
                      "Checksum: " + std::to_string(checksum) + "\n") == 1;
  }

  // The monitor still works: a whole job on another port, opened and closed
  // here, is recorded with the checksum of its bytes.
  void ExpectStillServes(const wchar_t* port) {
    SCOPED_TRACE(testing::Message() << "afterwards, a job on " << std::string(port, port + wcslen(port)));
    HANDLE handle = Open(port);
    ASSERT_NE(nullptr, handle);
    Writes writes = MakeJob(7, 5000, 700);
    JobRun run = RunCheckedJob(Module.Get(), handle, kOtherJobPrinter.Name, kServedDocument, writes);
    EXPECT_TRUE(run.Ok) << run.Problem;
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->ClosePort(handle));
  }
};

// The job's own printer is deleted between StartDocPort and EndDocPort. Wine
// keeps a deleted printer's open handles and their jobs working, so the job
// ends normally and is recorded under the printer's name; only a new job
// naming that printer fails, with the spooler's code.
TEST_F(PlatformFault, JobPrinterDeletedInTheMiddleOfAJob) {
  Initialize({L"F:", kHealthyPort});
  ScratchPrinter printer(L"Vanishing Job Printer", OutputFile(L"vanishing-job.prn"));
  ASSERT_TRUE(printer.Ok()) << "error " << printer.Error();
  HANDLE port = Open(L"F:");
  const std::string data = "written before the printer went away";
  {
    RealJob job(printer.Name(), kDocument);
    ASSERT_TRUE(job.Started()) << "error " << job.Error();
    SetLastError(kSentinel);
    ASSERT_TRUE(Module->StartDocPort(port, job.PrinterName(), job.Id(), 1, job.DocInfo()));
    DWORD written = 0;
    EXPECT_TRUE(Write(port, data, &written));
    ASSERT_TRUE(printer.Delete());
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->EndDocPort(port)) << "error " << GetLastError();
  }
  EXPECT_TRUE(SaidChecksum(ExpectedChecksum({data})));
  EXPECT_EQ(std::optional<DWORD>(ExpectedChecksum({data})), ReadRecord(L"Vanishing Job Printer", kDocument));
  DeleteRecord(L"Vanishing Job Printer", kDocument);

  SetLastError(kSentinel);
  EXPECT_FALSE(Module->StartDocPort(port, printer.Name(), 1, 1, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME), GetLastError());
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
  ExpectStillServes(kHealthyPort);
}

// The pass-through printer is deleted in the middle of a job. Wine keeps
// the open handle and its document working, so the job is passed through and
// recorded in full; the next job cannot start, with the spooler's code.
// (A pass-through document that goes away underneath the port is in
// pass_through_test: FailedCopyCountsNothingOfTheBuffer.)
TEST_F(PlatformFault, PassThroughPrinterDeletedInTheMiddleOfAJob) {
  ScratchPrinter target(L"Vanishing Target", OutputFile(L"vanishing-target.prn"));
  ASSERT_TRUE(target.Ok()) << "error " << target.Error();
  AddPassThroughKey(L"F:", target.Name());
  Initialize({kHealthyPort});
  HANDLE port = Open(L"F:");
  const Writes writes = {"%!PS-Adobe-3.0\n(before) show\n", "(after) show % comment\n"};
  {
    RealJob job(kJobPrinter.Name, kDocument);
    ASSERT_TRUE(job.Started()) << "error " << job.Error();
    SetLastError(kSentinel);
    ASSERT_TRUE(Module->StartDocPort(port, job.PrinterName(), job.Id(), 1, job.DocInfo()))
        << "error " << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(Write(port, writes[0], &written));
    ASSERT_TRUE(target.Delete());
    EXPECT_TRUE(Write(port, writes[1], &written)) << "error " << GetLastError();
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->EndDocPort(port)) << "error " << GetLastError();
  }
  EXPECT_TRUE(SaidChecksum(ExpectedChecksum(writes)));
  EXPECT_EQ(std::optional<DWORD>(ExpectedChecksum(writes)), ReadRecord(kJobPrinter.Name, kDocument));

  RealJob next(kJobPrinter.Name, kDocument);
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->StartDocPort(port, next.PrinterName(), next.Id(), 1, next.DocInfo()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME), GetLastError());
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
  ExpectStillServes(kHealthyPort);
}

// "Dead End" accepts a document and fails at EndDocPrinter. EndDocPort fails
// with that code and leaves the base job and the pass-through printer open
// (the record and message of such a job: pass_through_test). The next
// StartDocPort closes both, so a port whose jobs keep failing this way does
// not pile up printer handles in the spooler.
TEST_F(PlatformFault, FailingPassThroughJobsDoNotPileUpPrinterHandles) {
  AddPassThroughKey(L"F:", kDeadEndPrinter.Name);
  Initialize({kHealthyPort});
  // The code a direct EndDocPrinter on Dead End gives.
  DWORD refusal = 0;
  {
    RealJob direct(kDeadEndPrinter.Name, L"vt-fault direct");
    ASSERT_TRUE(direct.Started()) << "error " << direct.Error();
    SetLastError(kSentinel);
    ASSERT_FALSE(direct.End());
    refusal = GetLastError();
    ASSERT_NE(kSentinel, refusal);
  }

  HANDLE port = Open(L"F:");
  const size_t handlesBefore = OpenPrinterHandles();
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(testing::Message() << "job " << round);
    const std::string data = "dead end job " + std::to_string(round);
    {
      RealJob job(kJobPrinter.Name, kDocument);
      ASSERT_TRUE(job.Started()) << "error " << job.Error();
      SetLastError(kSentinel);
      ASSERT_TRUE(Module->StartDocPort(port, job.PrinterName(), job.Id(), 1, job.DocInfo()))
          << "error " << GetLastError();
      DWORD written = 0;
      EXPECT_TRUE(Write(port, data, &written));
      SetLastError(kSentinel);
      EXPECT_FALSE(Module->EndDocPort(port));
      EXPECT_EQ(refusal, GetLastError());
    }
    // This job's two printers are open; those of the jobs before it are not.
    EXPECT_EQ(handlesBefore + 2, OpenPrinterHandles());
  }
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
  ExpectStillServes(kHealthyPort);
}

// A pass-through printer that takes seconds to accept the end of a job (its
// port is a command that sleeps) holds up that job only: while its
// EndDocPort waits, the port list is read, ports are added, deleted and
// opened, and a job runs on another port.
TEST_F(PlatformFault, SlowPassThroughPrinterHoldsUpOnlyItsOwnPort) {
  const std::wstring started = OutputFile(L"slow-printer-started");
  std::wstring startedDos = L"Z:" + started;
  std::replace(startedDos.begin(), startedDos.end(), L'/', L'\\');
  DeleteFileW(startedDos.c_str());
  ScratchPrinter slow(L"Slow Printer", L"|touch '" + started + L"'; sleep 4; cat > /dev/null");
  ASSERT_TRUE(slow.Ok()) << "error " << slow.Error();
  AddPassThroughKey(L"SLOW:", slow.Name());
  Initialize({kHealthyPort});
  HANDLE port = Open(L"SLOW:");
  RealJob job(kJobPrinter.Name, kDocument);
  ASSERT_TRUE(job.Started()) << "error " << job.Error();
  SetLastError(kSentinel);
  ASSERT_TRUE(Module->StartDocPort(port, job.PrinterName(), job.Id(), 1, job.DocInfo()));
  DWORD written = 0;
  EXPECT_TRUE(Write(port, "to a slow printer", &written));

  std::atomic<bool> ended{false};
  BOOL endResult = FALSE;
  std::thread ender([&] {
    endResult = Module->EndDocPort(port);
    ended = true;
  });
  for (int i = 0; i < 200 && GetFileAttributesW(startedDos.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
    Sleep(50);
  bool inside = GetFileAttributesW(startedDos.c_str()) != INVALID_FILE_ATTRIBUTES;
  EXPECT_TRUE(inside) << "the slow printer never started to take the job";
  if (inside) {
    EXPECT_EQ((Names{L"SLOW:", kHealthyPort}), PortNames());
    PORT_INFO_1W record = {const_cast<LPWSTR>(L"NEW:")};
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&record), nullptr));
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"NEW:")));
    ExpectStillServes(kHealthyPort);
    EXPECT_FALSE(ended) << "the other ports' calls waited for the slow printer";
  }
  ender.join();
  EXPECT_TRUE(endResult) << "error " << GetLastError();
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
  DeleteFileW(startedDos.c_str());
}

// Port keys the registry will not let go of, or not let be written: the
// deletion fails and the port stays listed and usable; the addition fails
// and leaves no port behind.
TEST_F(PlatformFault, PortKeysThatCannotBeDeletedOrWritten) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({L"KEEP:", L"KEEP:\\child"}));
  Initialize({kHealthyPort});
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"KEEP:")));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ((Names{L"KEEP:", kHealthyPort}), PortNames());
  ExpectStillServes(L"KEEP:");

  // A key left behind by someone else, which nobody may write.
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(HKEY_LOCAL_MACHINE, Root.Child(L"LOCKED:")));
  ASSERT_EQ(ERROR_SUCCESS, DenyRead(HKEY_LOCAL_MACHINE, Root.Child(L"LOCKED:")));
  PORT_INFO_1W record = {const_cast<LPWSTR>(L"LOCKED:")};
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&record), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ((Names{L"KEEP:", kHealthyPort}), PortNames());
  HANDLE none = nullptr;
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->OpenPort(const_cast<LPWSTR>(L"LOCKED:"), &none));
  EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PORT), GetLastError());
  ExpectStillServes(kHealthyPort);
}

// A port key that cannot be read stops the initialisation with the
// registry's code; the ports read before it are served.
TEST_F(PlatformFault, PortKeyThatCannotBeReadAtInitialisation) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({L"A:", L"B:", L"C:"}));
  ASSERT_EQ(ERROR_SUCCESS, DenyRead(HKEY_LOCAL_MACHINE, Root.Child(L"B:")));
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->InitializeMonitor(Root.Arg()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ(Names{L"A:"}, PortNames());
  ExpectStillServes(L"A:");
}

}  // namespace
}  // namespace vt

// A job through a port, driven as the spooler drives it, against real jobs of
// real printers in the test prefix. These hold for every port kind: they
// check what the base job path promises (the job's printer opened, the data
// accepted in full, the job reported sent, the printer closed), not what a
// port does with the data.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <string>
#include <vector>

#include "monitor_fixture.h"
#include "printers.h"
#include "test_printers.h"

namespace vt {
namespace {

const char kSetJobFailed[] = "CPort::EndDocPort(): SetJob(Cancel) failed.\n";

bool Contains(const std::vector<std::string>& messages, const std::string& message) {
  return std::find(messages.begin(), messages.end(), message) != messages.end();
}

// The last error SetJobW itself leaves when it refuses this notification,
// starting from the sentinel (Wine leaves the sentinel for a missing job).
DWORD SetJobRefusal(const wchar_t* printerName, DWORD jobId) {
  HANDLE printer = nullptr;
  if (printerName && !OpenPrinterW(const_cast<LPWSTR>(printerName), &printer, nullptr)) return 0;
  SetLastError(kSentinel);
  BOOL accepted = SetJobW(printer, jobId, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER);
  DWORD error = GetLastError();
  if (printer) ClosePrinter(printer);
  return accepted ? 0 : error;
}

class PortJob : public MonitorTest {
 protected:
  void SetUp() override {
    MonitorTest::SetUp();
    if (HasFatalFailure()) return;
    Initialize({L"VT1:"});
    Port = Open(L"VT1:");
    ASSERT_NE(nullptr, Port);
    Debug.Clear();
  }
  void TearDown() override {
    if (Port) EXPECT_TRUE(Module->ClosePort(Port));
    MonitorTest::TearDown();
  }

  BOOL Write(const std::string& data, DWORD* written) {
    SetLastError(kSentinel);
    return Module->WritePort(Port, reinterpret_cast<LPBYTE>(const_cast<char*>(data.data())),
                             static_cast<DWORD>(data.size()), written);
  }

  HANDLE Port = nullptr;
};

TEST_F(PortJob, WholeJobOnTheJobsOwnPrinter) {
  RealJob job(kJobPrinter.Name, L"Foundation Job");
  ASSERT_TRUE(job.Started()) << "error " << job.Error();
  HANDLE freeHandle = NextPrinterHandle();

  SetLastError(kSentinel);
  ASSERT_TRUE(Module->StartDocPort(Port, job.PrinterName(), job.Id(), 1, job.DocInfo()))
      << "error " << GetLastError();
  EXPECT_NE(freeHandle, NextPrinterHandle()) << "the port holds the job's printer open";

  const std::string chunks[] = {"%!PS-Adobe-3.0\n%%Title: x\n", std::string(5000, 'z'), "",
                                std::string("\0\1\2\xff", 4)};
  for (const std::string& chunk : chunks) {
    DWORD written = 0xffffffff;
    EXPECT_TRUE(Write(chunk, &written)) << "error " << GetLastError();
    EXPECT_EQ(chunk.size(), written);
  }

  SetLastError(kSentinel);
  EXPECT_TRUE(Module->EndDocPort(Port)) << "error " << GetLastError();
  EXPECT_FALSE(Contains(Debug.Messages(), kSetJobFailed));
  EXPECT_EQ(freeHandle, NextPrinterHandle()) << "EndDocPort closes the job's printer";

  // The spooler's record is the spooler's again, unchanged.
  EXPECT_STREQ(L"Foundation Job", job.Record().pDocName);
  EXPECT_EQ(nullptr, job.Record().pOutputFile);
}

TEST_F(PortJob, SecondJobOnTheSamePort) {
  for (const wchar_t* document : {L"First", L"Second"}) {
    SCOPED_TRACE(testing::Message() << "document " << document);
    RealJob job(kJobPrinter.Name, document);
    ASSERT_TRUE(job.Started()) << "error " << job.Error();
    HANDLE freeHandle = NextPrinterHandle();
    SetLastError(kSentinel);
    ASSERT_TRUE(Module->StartDocPort(Port, job.PrinterName(), job.Id(), 1, job.DocInfo()));
    DWORD written = 0;
    EXPECT_TRUE(Write("data", &written));
    EXPECT_EQ(4u, written);
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->EndDocPort(Port)) << "error " << GetLastError();
    EXPECT_EQ(freeHandle, NextPrinterHandle());
  }
  EXPECT_FALSE(Contains(Debug.Messages(), kSetJobFailed));
}

TEST_F(PortJob, StartDocPortFailsWhenTheJobsPrinterCannotBeOpened) {
  HANDLE freeHandle = NextPrinterHandle();
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->StartDocPort(Port, const_cast<LPWSTR>(kMissingPrinter), 1, 1, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME), GetLastError());
  EXPECT_EQ(freeHandle, NextPrinterHandle());
}

// The notification goes to the job id on the printer named at StartDocPort:
// a job that exists on another printer only is refused there. Wine's SetJobW
// refuses a missing job without setting a last error, so the port reports
// whatever code its own earlier calls left; it must not be 0 (success).
TEST_F(PortJob, EndDocPortReportsTheJobToItsOwnPrinter) {
  RealJob elsewhere(kOtherJobPrinter.Name, L"Elsewhere");
  ASSERT_TRUE(elsewhere.Started()) << "error " << elsewhere.Error();
  ASSERT_FALSE(GetJobInfo(kJobPrinter.Name, elsewhere.Id()));
  HANDLE freeHandle = NextPrinterHandle();

  SetLastError(kSentinel);
  ASSERT_TRUE(Module->StartDocPort(Port, const_cast<LPWSTR>(kJobPrinter.Name), elsewhere.Id(), 1,
                                   elsewhere.DocInfo()));
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->EndDocPort(Port));
  EXPECT_NE(0u, GetLastError());
  EXPECT_TRUE(Contains(Debug.Messages(), kSetJobFailed));
  EXPECT_EQ(freeHandle, NextPrinterHandle()) << "the printer is closed on failure too";
}

TEST_F(PortJob, EndDocPortWithoutAStartedJobFails) {
  DWORD refusal = SetJobRefusal(nullptr, 0);
  ASSERT_NE(0u, refusal);
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->EndDocPort(Port));
  EXPECT_EQ(refusal, GetLastError());
  EXPECT_TRUE(Contains(Debug.Messages(), kSetJobFailed));
}

TEST_F(PortJob, ReadPortReportsTheWholeBufferReadAndLeavesIt) {
  BYTE buffer[100];
  std::fill(std::begin(buffer), std::end(buffer), 0xa5);
  DWORD read = 0;
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ReadPort(Port, buffer, sizeof buffer, &read));
  EXPECT_EQ(sizeof buffer, read);
  EXPECT_TRUE(std::all_of(std::begin(buffer), std::end(buffer), [](BYTE b) { return b == 0xa5; }));
}

}  // namespace
}  // namespace vt

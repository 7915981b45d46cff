// Checks the test platform itself, without vardlet.dll: the fixture's prefix,
// its printers, real jobs on them and the debugger-output capture. When these
// fail, the monitor tests' failures say nothing about the monitor.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <string>
#include <thread>

#include "debug_output.h"
#include "monitor_fixture.h"
#include "printers.h"
#include "registry.h"
#include "test_printers.h"

namespace vt {
namespace {

TEST(Prefix, IsTheRunsOwnWithTheWineOptionsSet) {
  wchar_t prefix[1024] = {};
  GetEnvironmentVariableW(L"WINEPREFIX", prefix, 1024);
  std::wstring path = prefix;
  EXPECT_NE(std::wstring::npos, path.find(L"/wine/prefix")) << "WINEPREFIX=" << path;

  EXPECT_EQ(std::optional<std::wstring>(L"N"),
            ReadString(HKEY_CURRENT_USER, L"Software\\Wine\\X11 Driver", L"Managed"));
  EXPECT_EQ(std::optional<DWORD>(0),
            ReadDword(HKEY_CURRENT_USER, L"Software\\Wine\\WineDbg", L"ShowCrashDialog"));
}

TEST(TestPrinters, ExistWithTheirPorts) {
  for (const TestPrinter& printer : kAllTestPrinters) {
    SCOPED_TRACE(testing::Message() << "printer " << printer.Name);
    HANDLE handle = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(printer.Name), &handle, nullptr));
    ClosePrinter(handle);
    if (printer.Port[0] == L'/') {
      std::wstring file = PrinterOutputFile(printer.Name);
      EXPECT_EQ(0u, file.rfind(L"Z:\\", 0)) << file;
      EXPECT_NE(std::wstring::npos, file.find(L"\\wine\\out\\")) << file;
    }
  }
  HANDLE handle = nullptr;
  SetLastError(kSentinel);
  EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(kMissingPrinter), &handle, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME), GetLastError());
}

// What the monitor relies on: a job that this process started is found by
// id through any other handle on the same printer, with its names filled in,
// and SetJobW accepts the "sent to printer" notification for it.
TEST(RealJobs, AreVisibleThroughAnotherHandleOfTheProcess) {
  RealJob first(kJobPrinter.Name, L"Platform Document");
  ASSERT_TRUE(first.Started()) << "error " << first.Error();
  RealJob second(kJobPrinter.Name, L"C:\\docs\\second.txt");
  ASSERT_TRUE(second.Started()) << "error " << second.Error();
  EXPECT_NE(first.Id(), second.Id());

  std::optional<JobInfo> info = GetJobInfo(kJobPrinter.Name, first.Id());
  ASSERT_TRUE(info);
  EXPECT_EQ(std::optional<std::wstring>(kJobPrinter.Name), info->PrinterName);
  EXPECT_EQ(std::optional<std::wstring>(L"Platform Document"), info->Document);
  info = GetJobInfo(kJobPrinter.Name, second.Id());
  ASSERT_TRUE(info);
  EXPECT_EQ(std::optional<std::wstring>(L"C:\\docs\\second.txt"), info->Document);

  // Job queues are per printer.
  EXPECT_FALSE(GetJobInfo(kOtherJobPrinter.Name, first.Id()));

  HANDLE other = nullptr;
  ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(kJobPrinter.Name), &other, nullptr));
  SetLastError(kSentinel);
  EXPECT_TRUE(SetJobW(other, first.Id(), 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER));
  SetLastError(kSentinel);
  EXPECT_FALSE(SetJobW(other, second.Id() + 100, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER));
  ClosePrinter(other);

  ASSERT_TRUE(first.End());
  EXPECT_FALSE(GetJobInfo(kJobPrinter.Name, first.Id())) << "an ended job leaves the queue";
}

TEST(RealJobs, WithoutDocumentNameReportNone) {
  RealJob job(kJobPrinter.Name, nullptr);
  ASSERT_TRUE(job.Started()) << "error " << job.Error();
  std::optional<JobInfo> info = GetJobInfo(kJobPrinter.Name, job.Id());
  ASSERT_TRUE(info);
  EXPECT_EQ(std::optional<std::wstring>(kJobPrinter.Name), info->PrinterName);
  EXPECT_FALSE(info->Document);
}

TEST(RealJobs, PassTargetFileHoldsTheBytesOnceTheDocumentEnds) {
  std::string data;
  for (int i = 0; i < 256; ++i) data += static_cast<char>(i);
  data += "%!PS-Adobe-3.0\r\n";
  std::wstring file = PrinterOutputFile(kPassTargetPrinter.Name);
  ASSERT_FALSE(file.empty());

  RealJob job(kPassTargetPrinter.Name, L"Bytes");
  ASSERT_TRUE(job.Started()) << "error " << job.Error();
  ASSERT_TRUE(job.Write(data.substr(0, 100)));
  ASSERT_TRUE(job.Write(data.substr(100)));
  ASSERT_TRUE(job.End());
  EXPECT_EQ(std::optional<std::string>(data), ReadFileBytes(file));
}

TEST(RealJobs, DeadEndFailsWhenTheDocumentEnds) {
  RealJob job(kDeadEndPrinter.Name, L"Lost");
  ASSERT_TRUE(job.Started()) << "error " << job.Error();
  EXPECT_TRUE(job.Write("lost"));
  SetLastError(kSentinel);
  EXPECT_FALSE(job.End());
  EXPECT_NE(kSentinel, GetLastError());
}

TEST(PrinterHandles, NextHandleShowsWhetherEveryPrinterWasClosed) {
  HANDLE before = NextPrinterHandle();
  ASSERT_NE(nullptr, before);
  EXPECT_EQ(before, NextPrinterHandle());
  HANDLE held = nullptr;
  ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(kOtherJobPrinter.Name), &held, nullptr));
  EXPECT_NE(before, NextPrinterHandle());
  ClosePrinter(held);
  EXPECT_EQ(before, NextPrinterHandle());
}

TEST(DebugOutputCapture, KeepsEachMessageExactlyAndInOrder) {
  DebugOutput debug;
  ASSERT_TRUE(debug.IsListening()) << debug.Error();
  OutputDebugStringW(L"wide text\n");
  OutputDebugStringA("narrow, no line feed");
  std::thread([] { OutputDebugStringW(L"from another thread\n"); }).join();
  EXPECT_EQ((std::vector<std::string>{"wide text\n", "narrow, no line feed",
                                      "from another thread\n"}),
            debug.Messages());
  EXPECT_EQ("wide text\nnarrow, no line feedfrom another thread\n", debug.Text());

  debug.Clear();
  EXPECT_TRUE(debug.Messages().empty());
  std::thread writer([] {
    Sleep(50);
    OutputDebugStringW(L"later\n");
  });
  EXPECT_TRUE(debug.WaitFor("later\n", 2000));
  writer.join();
  EXPECT_FALSE(debug.WaitFor("never written\n", 50));
}

TEST(DebugOutputCapture, EndsWithTheObjectAndIsOnePerProcess) {
  {
    DebugOutput first;
    ASSERT_TRUE(first.IsListening()) << first.Error();
    DebugOutput second;
    EXPECT_FALSE(second.IsListening());
    OutputDebugStringW(L"seen\n");
    EXPECT_EQ(std::vector<std::string>{"seen\n"}, first.Messages());
  }
  OutputDebugStringW(L"nobody listens\n");
  DebugOutput later;
  ASSERT_TRUE(later.IsListening()) << later.Error();
  EXPECT_TRUE(later.Messages().empty());
}

}  // namespace
}  // namespace vt

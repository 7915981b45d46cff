// StartDocPort from a spooler that names no printer or no job (Wine's passes
// a null printer name and job id 0): the port finds the printer whose port
// list holds it and the job of the document, so the record, the pass-through
// and the job notification work as when the spooler names both.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <string>

#include "checksum_port_test.h"
#include "reliability_support.h"

namespace vt {
namespace {

const std::string kData = "%!PS-Adobe-3.0\nabc";

class JoblessStart : public ChecksumPortTest {
 protected:
  // StartDocPort with the given printer name and id, then the data, EndDocPort.
  DWORD RunJob(const wchar_t* port, LPWSTR printerName, DWORD jobId, RealJob& job) {
    HANDLE handle = Open(port);
    SetLastError(kSentinel);
    DWORD error = 0;
    if (!Module->StartDocPort(handle, printerName, jobId, 1, job.DocInfo())) {
      error = GetLastError();
    } else {
      EXPECT_TRUE(Write(handle, {kData}));
      EXPECT_TRUE(End(handle)) << "the job notification failed with " << GetLastError();
    }
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->ClosePort(handle));
    return error;
  }
};

// The port is the second of its printer's ports, written in other letters,
// with a blank after the comma; a job of another document on the same
// printer comes first, so the document name decides. The port passes its
// jobs through, and each job reaches the pass-through printer.
TEST_F(JoblessStart, RecordAndPassThroughWorkWithoutPrinterOrJobId) {
  Initialize();
  AddPort(L"Jobless:", kPassTargetPrinter.Name);
  ScratchPrinter printer(L"Jobless Printer", L"LPT2:, JOBLESS:");
  ASSERT_TRUE(printer.Ok()) << "AddPrinterW failed with " << printer.Error();
  std::wstring target = PrinterOutputFile(kPassTargetPrinter.Name);
  ScopedRecord record(printer.Name(), L"Jobless.txt");
  ScopedRecord decoyRecord(printer.Name(), L"Other.txt");
  const struct {
    const char* Name;
    bool GivePrinter, GiveId;
  } cases[] = {{"Wine: neither", false, false},
               {"no printer name", false, true},
               {"no job id", true, false},
               {"Windows: both", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    RealJob decoy(printer.Name(), L"Other.txt");
    RealJob job(printer.Name(), L"Jobless.txt");
    ASSERT_TRUE(decoy.Started() && job.Started()) << "error " << job.Error();
    DeleteFileW(target.c_str());
    DeleteRecord(printer.Name(), L"Jobless.txt");
    EXPECT_EQ(0u, RunJob(L"Jobless:", c.GivePrinter ? job.PrinterName() : nullptr,
                         c.GiveId ? job.Id() : 0, job));
    EXPECT_EQ(std::optional<DWORD>(ExpectedChecksum({kData})), ReadRecord(printer.Name(), L"Jobless.txt"));
    EXPECT_FALSE(decoyRecord.Read());
    EXPECT_EQ(kData, ReadFileBytes(target).value_or("<nothing printed>"));
  }
}

// Where the job cannot be found, the job is refused with a message saying why.
TEST_F(JoblessStart, JobThatCannotBeFoundIsRefused) {
  Initialize();
  AddPort(L"Unused:", nullptr);
  AddPort(L"Jobless:", nullptr);
  ScratchPrinter printer(L"Jobless Printer", L"Jobless:");
  ASSERT_TRUE(printer.Ok()) << "AddPrinterW failed with " << printer.Error();
  RealJob job(printer.Name(), L"Printed.txt");
  RealJob unknown(kJobPrinter.Name, L"Never printed here.txt");

  const struct {
    const wchar_t* Port;
    RealJob* Job;
    DWORD Error;
    const char* Message;
  } cases[] = {
      {L"Unused:", &job, ERROR_INVALID_PRINTER_NAME, "CPort::StartDocPort(): no printer prints to this port.\n"},
      {L"Jobless:", &unknown, ERROR_INVALID_PARAMETER,
       "CPort::StartDocPort(): the job was not found on the port's printers.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Message);
    Debug.Clear();
    HANDLE freeHandle = NextPrinterHandle();
    EXPECT_EQ(c.Error, RunJob(c.Port, nullptr, 0, *c.Job));
    EXPECT_EQ(Messages{c.Message}, Debug.Messages());
    EXPECT_EQ(freeHandle, NextPrinterHandle()) << "no printer left open";
  }
}

}  // namespace
}  // namespace vt

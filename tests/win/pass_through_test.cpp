// Pass-through printing of the checksum port, through the exports, with real
// printers of the prefix: "Pass Target" writes each job it receives to a file,
// "Dead End" fails at EndDocPrinter (its port LPT3: leads nowhere), and
// kMissingPrinter does not exist.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "checksum_port_test.h"

namespace vt {
namespace {

const DWORD kUntouched = 0x5a5a5a5a;
const char kEndDocPrinterFailed[] = "CChecksumPort::EndDocPort(): EndDocPrinter failed.\n";

// Folder of the fixture's printer output files, as a DOS path.
std::wstring OutputFolder() {
  std::wstring file = PrinterOutputFile(kPassTargetPrinter.Name);
  return file.substr(0, file.find_last_of(L'\\'));
}

// Sends a printer port's jobs to a file through Wine's port mappings (value
// PORT under HKCU\Software\Wine\Printing\Spooler, data a Unix path), which
// Wine reads whenever it sends a job. Removed again on destruction.
class PortMapping {
 public:
  PortMapping(const wchar_t* port, const std::wstring& dosPath) : Port(port) {
    std::wstring unixPath = dosPath.substr(2);  // Z: is the Unix root
    std::replace(unixPath.begin(), unixPath.end(), L'\\', L'/');
    Status = WriteString(HKEY_CURRENT_USER, kKey, Port, unixPath);
  }
  ~PortMapping() { RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, Port); }
  PortMapping(const PortMapping&) = delete;
  PortMapping& operator=(const PortMapping&) = delete;
  LSTATUS Status;

 private:
  static constexpr const wchar_t* kKey = L"Software\\Wine\\Printing\\Spooler";
  const wchar_t* Port;
};

class PassThrough : public ChecksumPortTest {
 protected:
  void SetUp() override {
    ChecksumPortTest::SetUp();
    if (HasFatalFailure()) return;
    TargetFile = PrinterOutputFile(kPassTargetPrinter.Name);
    ASSERT_FALSE(TargetFile.empty());
    DeleteFileW(TargetFile.c_str());
  }

  // What "Pass Target" printed last; nullopt if it printed nothing in this test.
  std::optional<std::string> TargetBytes() { return ReadFileBytes(TargetFile); }

  std::wstring TargetFile;
};

// PostScript comments count for nothing in the checksum, yet the printer
// gets them: the copy is the job's raw bytes, zero bytes included.
TEST_F(PassThrough, PrinterGetsTheJobUnchangedFromPiecesOfAnySize) {
  Initialize({L"Plain:"});
  AddPort(L"Pass:", kPassTargetPrinter.Name);

  std::string data = "%!PS-Adobe-3.0\n%%Title: (pieces)\n";
  for (unsigned i = 0; data.size() < 150000; ++i) data += static_cast<char>(i * 7 + i / 251);
  std::vector<std::string> pieces;
  size_t offset = 0;
  for (size_t size : {1, 0, 2, 3, 4093, 1, 131077}) {
    pieces.push_back(data.substr(offset, size));
    offset += size;
  }
  pieces.push_back(data.substr(offset));

  ScopedRecord record(kJobPrinter.Name, L"Pieces.ps");
  PrintJob(L"Plain:", L"Pieces.ps", pieces);
  Messages plain = Debug.Messages();
  ASSERT_EQ(1u, plain.size());
  Debug.Clear();

  PrintJob(L"Pass:", L"Pieces.ps", pieces);
  std::optional<std::string> printed = TargetBytes();
  ASSERT_TRUE(printed) << "nothing printed";
  ASSERT_EQ(data.size(), printed->size());
  EXPECT_TRUE(data == *printed) << "first difference at byte "
                                << std::mismatch(data.begin(), data.end(), printed->begin()).first -
                                       data.begin();
  EXPECT_EQ(plain, Debug.Messages()) << "the same checksum as without pass-through";
}

// "Print" and "Print To" in the port's key, read at InitializeMonitor.
TEST_F(PassThrough, RegistrySettingsTurnItOnOrOff) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({L"On:", L"Off:"}));
  for (const wchar_t* port : {L"On:", L"Off:"}) {
    DWORD print = port == std::wstring(L"On:") ? 1 : 0;
    ASSERT_EQ(ERROR_SUCCESS, WriteDword(HKEY_LOCAL_MACHINE, Root.Child(port), L"Print", print));
    ASSERT_EQ(ERROR_SUCCESS, WriteString(HKEY_LOCAL_MACHINE, Root.Child(port), L"Print To",
                                         kPassTargetPrinter.Name));
  }
  Initialize();
  ScopedRecord record(kJobPrinter.Name, L"Settings.txt");

  PrintJob(L"Off:", L"Settings.txt", {"off"});
  EXPECT_FALSE(TargetBytes()) << "pass-through off: the printer named in the settings gets nothing";

  PrintJob(L"On:", L"Settings.txt", {"on"});
  EXPECT_EQ("on", TargetBytes().value_or("<nothing printed>"));
}

// When the pass-through printer cannot be opened, or refuses the document,
// StartDocPort fails with that call's code, keeps no pass-through printer
// open and hands the spooler its record back. The job's own printer stays
// open, so a following EndDocPort still finishes the job (message, record,
// base end) and makes no pass-through call.
TEST_F(PassThrough, FailedStartKeepsOnlyTheJobsOwnPrinterOpen) {
  Initialize();
  AddPort(L"Missing:", kMissingPrinter);
  AddPort(L"Refused:", kPassTargetPrinter.Name);

  // The codes the spooler itself gives.
  HANDLE printer = nullptr;
  SetLastError(kSentinel);
  ASSERT_FALSE(OpenPrinterW(const_cast<LPWSTR>(kMissingPrinter), &printer, nullptr));
  const DWORD openError = GetLastError();
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME), openError);
  ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(kPassTargetPrinter.Name), &printer, nullptr));
  DOC_INFO_1W doc = {const_cast<LPWSTR>(L"Level 4"), nullptr, const_cast<LPWSTR>(L"RAW")};
  SetLastError(kSentinel);
  EXPECT_EQ(0u, StartDocPrinterW(printer, 4, reinterpret_cast<LPBYTE>(&doc)));
  const DWORD levelError = GetLastError();
  ClosePrinter(printer);

  const struct {
    const wchar_t* Port;
    DWORD Level;  // StartDocPrinterW refuses level 4 (the spooler never sends it)
    DWORD Error;
  } cases[] = {{L"Missing:", 1, openError}, {L"Refused:", 4, levelError}};
  for (const auto& expected : cases) {
    SCOPED_TRACE(testing::Message() << "port " << expected.Port);
    ScopedRecord record(kJobPrinter.Name, L"Refused start.txt");
    RealJob job(kJobPrinter.Name, L"Refused start.txt");
    std::wstring outputFile = L"C:\\spooler's own.prn";
    job.Record().pOutputFile = outputFile.data();
    HANDLE port = Open(expected.Port);
    ASSERT_TRUE(Write(port, {"abc"})) << "data from before the start";
    Debug.Clear();
    std::vector<HANDLE> freeHandles = FreePrinterHandles(2);
    ASSERT_EQ(2u, freeHandles.size());

    SetLastError(kSentinel);
    EXPECT_FALSE(
        Module->StartDocPort(port, job.PrinterName(), job.Id(), expected.Level, job.DocInfo()));
    EXPECT_EQ(expected.Error, GetLastError());
    EXPECT_EQ(outputFile.data(), job.Record().pOutputFile);
    EXPECT_EQ(freeHandles[1], NextPrinterHandle()) << "only the job's own printer is open";

    EXPECT_TRUE(End(port)) << "error " << GetLastError();
    EXPECT_EQ("Checksum: 0\n", Debug.Messages().back()) << "the start reset the checksum";
    std::optional<RecordValue> value = record.Read();
    ASSERT_TRUE(value);
    EXPECT_EQ(0u, value->Value);
    EXPECT_EQ(freeHandles[0], NextPrinterHandle()) << "EndDocPort closed the job's printer";
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->ClosePort(port));
    EXPECT_FALSE(TargetBytes());
  }
}

// Wine honours an output file named in the document record (it overrides the
// printer's port); the pass-through document must go to the printer instead.
TEST_F(PassThrough, OutputFileOfTheRecordIsLeftOut) {
  Initialize();
  AddPort(L"Pass:", kPassTargetPrinter.Name);
  std::wstring outputFile = OutputFolder() + L"\\spooler-output.prn";
  DeleteFileW(outputFile.c_str());
  ScopedRecord record(kJobPrinter.Name, L"Output file.txt");

  RealJob job(kJobPrinter.Name, L"Output file.txt");
  job.Record().pOutputFile = outputFile.data();
  HANDLE port = Open(L"Pass:");
  ASSERT_TRUE(Start(port, job));
  EXPECT_EQ(outputFile.data(), job.Record().pOutputFile) << "the spooler's own pointer again";
  ASSERT_TRUE(Write(port, {"to the printer"}));
  EXPECT_TRUE(End(port)) << "error " << GetLastError();
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));

  EXPECT_EQ("to the printer", TargetBytes().value_or("<nothing printed>"));
  EXPECT_FALSE(ReadFileBytes(outputFile)) << "the pass-through document went to the output file";
}

// "Dead End" accepts the document but fails at EndDocPrinter. EndDocPort then
// fails with that code after recording the checksum, and ends nothing more:
// the pass-through printer and the job's own printer stay open. Once the
// printer's port leads somewhere, the spooler's retry of the job goes through:
// its StartDocPort first closes the pass-through printer left open.
TEST_F(PassThrough, FailedEndDocPrinterLeavesTheJobToTheNextStart) {
  Initialize();
  AddPort(L"Pass:", kDeadEndPrinter.Name);
  HANDLE printer = nullptr;
  ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(kDeadEndPrinter.Name), &printer, nullptr));
  DOC_INFO_1W doc = {const_cast<LPWSTR>(L"Probe"), nullptr, const_cast<LPWSTR>(L"RAW")};
  ASSERT_NE(0u, StartDocPrinterW(printer, 1, reinterpret_cast<LPBYTE>(&doc)));
  SetLastError(kSentinel);
  ASSERT_FALSE(EndDocPrinter(printer));
  const DWORD endError = GetLastError();
  ClosePrinter(printer);

  ScopedRecord record(kJobPrinter.Name, L"Dead end.txt");
  RealJob job(kJobPrinter.Name, L"Dead end.txt");
  HANDLE port = Open(L"Pass:");
  // The port opens the job's printer first, then the pass-through printer.
  std::vector<HANDLE> freeHandles = FreePrinterHandles(2);
  ASSERT_EQ(2u, freeHandles.size());
  Debug.Clear();
  ASSERT_TRUE(Start(port, job));
  ASSERT_TRUE(Write(port, {"abc"}));
  EXPECT_FALSE(End(port));
  EXPECT_EQ(endError, GetLastError());
  EXPECT_EQ((Messages{"Checksum: 32566245\n", kEndDocPrinterFailed}), Debug.Messages());
  EXPECT_EQ(0x01F0EBE5u, record.Read().value_or(RecordValue{}).Value);
  std::vector<HANDLE> stillFree = FreePrinterHandles(2);
  for (HANDLE open : freeHandles)
    EXPECT_EQ(stillFree.end(), std::find(stillFree.begin(), stillFree.end(), open))
        << "printer handle " << open << " was closed";

  std::wstring retryFile = OutputFolder() + L"\\dead-end-retry.prn";
  DeleteFileW(retryFile.c_str());
  PortMapping mapping(kDeadEndPrinter.Port, retryFile);
  ASSERT_EQ(ERROR_SUCCESS, mapping.Status);
  Debug.Clear();
  ASSERT_TRUE(Start(port, job));
  ASSERT_TRUE(Write(port, {"abcd"}));
  EXPECT_TRUE(End(port)) << "error " << GetLastError();
  EXPECT_EQ(Messages{"Checksum: 4126206949\n"}, Debug.Messages());
  EXPECT_EQ("abcd", ReadFileBytes(retryFile).value_or("<nothing printed>"));
  // The retry's start closed the first job's printer and its pass-through
  // printer: the first pass-through printer's handle is free again.
  stillFree = FreePrinterHandles(2);
  EXPECT_NE(stillFree.end(), std::find(stillFree.begin(), stillFree.end(), freeHandles[1]));
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
  DeleteFileW(retryFile.c_str());
}

// The pass-through document is ended under the port (here by the test itself,
// on the port's own handle), so the port's next WritePrinter fails: the write
// fails with WritePrinter's code, reports nothing written and counts nothing.
TEST_F(PassThrough, FailedCopyCountsNothingOfTheBuffer) {
  Initialize();
  AddPort(L"Pass:", kPassTargetPrinter.Name);
  ScopedRecord record(kJobPrinter.Name, L"Failed copy.txt");
  RealJob job(kJobPrinter.Name, L"Failed copy.txt");
  HANDLE port = Open(L"Pass:");
  std::vector<HANDLE> freeHandles = FreePrinterHandles(2);
  ASSERT_EQ(2u, freeHandles.size());
  ASSERT_TRUE(Start(port, job));
  ASSERT_TRUE(Write(port, {"abc"}));

  HANDLE passThrough = freeHandles[1];
  DWORD needed = 0;
  GetPrinterW(passThrough, 2, nullptr, 0, &needed);
  std::vector<BYTE> info(needed ? needed : sizeof(PRINTER_INFO_2W));
  ASSERT_TRUE(GetPrinterW(passThrough, 2, info.data(), static_cast<DWORD>(info.size()), &needed));
  ASSERT_STREQ(kPassTargetPrinter.Name, reinterpret_cast<PRINTER_INFO_2W*>(info.data())->pPrinterName);
  ASSERT_TRUE(EndDocPrinter(passThrough));
  DWORD probe = 0;
  SetLastError(kSentinel);
  ASSERT_FALSE(WritePrinter(passThrough, const_cast<char*>("?"), 1, &probe));
  const DWORD noDocument = GetLastError();
  SetLastError(kSentinel);
  ASSERT_FALSE(EndDocPrinter(passThrough));
  const DWORD endError = GetLastError();

  DWORD written = kUntouched;
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->WritePort(port, reinterpret_cast<LPBYTE>(const_cast<char*>("xyz")), 3, &written));
  EXPECT_EQ(noDocument, GetLastError());
  EXPECT_EQ(0u, written);
  EXPECT_EQ("abc", TargetBytes().value_or("<nothing printed>")) << "what was accepted stays sent";

  // The pass-through document cannot be ended either: EndDocPort fails with
  // EndDocPrinter's code, after the checksum of "abc" alone.
  EXPECT_FALSE(End(port));
  EXPECT_EQ(endError, GetLastError());
  EXPECT_EQ((Messages{"CChecksumPort::WritePort(): WritePrinter failed.\n", "Checksum: 32566245\n",
                      kEndDocPrinterFailed}),
            Debug.Messages());
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
}

}  // namespace
}  // namespace vt

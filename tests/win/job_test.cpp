// Jobs through a port, driven as the spooler drives them, on real jobs of the
// prefix's printers: the job's own printer held for the job and closed after
// it, the "sent" notification, the debugger message and the registry record
// of every finished job, pass-through printing ("Pass Target" writes each job
// to a file, "Dead End" fails at EndDocPrinter), and printers that vanish.
// The checksum arithmetic is tested natively (tests/native); a slow
// pass-through printer holding up only its own port, in load_test.

#include <algorithm>
#include <cstring>

#include "import_patch.h"
#include "memory_pages.h"
#include "monitor_fixture.h"

namespace vt {
namespace {

const DWORD kAbc = 32566245;  // the checksum of the job "abc"
const DWORD kAbcd = 4126206949;  // of "abcd", above the signed range
const char kSetJobFailed[] = "CPort::EndDocPort(): SetJob(Cancel) failed.\n";
const char kEndDocPrinterFailed[] = "CChecksumPort::EndDocPort(): EndDocPrinter failed.\n";
const wchar_t kDocument[] = L"vt-job document";

class Jobs : public MonitorTest {
 protected:
  BOOL Start(HANDLE port, RealJob& job, DWORD level = 1, LPBYTE record = nullptr) {
    EXPECT_TRUE(job.Started()) << "job error " << job.Error();
    SetLastError(kSentinel);
    return Module->StartDocPort(port, job.PrinterName(), job.Id(), level, record ? record : job.DocInfo());
  }
  BOOL Write(HANDLE port, const std::string& data, DWORD* written = nullptr) {
    SetLastError(kSentinel);
    return Module->WritePort(port, Bytes(data), static_cast<DWORD>(data.size()), written);
  }
  BOOL End(HANDLE port) {
    SetLastError(kSentinel);
    return Module->EndDocPort(port);
  }
  // What "Pass Target" printed since the last call (nullopt: nothing).
  std::optional<std::string> Printed() {
    std::wstring file = PrinterOutputFile(kPassTargetPrinter.Name);
    std::optional<std::string> bytes = ReadFileBytes(file);
    DeleteFileW(file.c_str());
    return bytes;
  }
};

// The port holds the job's printer for the job and closes it at the end; the
// spooler's record is left as it was; a second job on the port works alike.
TEST_F(Jobs, EachJobOnItsOwnPrinter) {
  Initialize({L"VT1:"});
  HANDLE port = Open(L"VT1:");
  const size_t before = OpenPrinterHandles();
  for (const wchar_t* document : {L"First", L"C:\\docs\\a.txt"}) {
    SCOPED_TRACE(testing::Message() << "document " << document);
    ForgetRecord(kJobPrinter.Name, document);
    RealJob job(kJobPrinter.Name, document);
    ASSERT_TRUE(Start(port, job)) << GetLastError();
    EXPECT_EQ(before + 2, OpenPrinterHandles()) << "the job's and the port's handle";
    DWORD written = 0;
    for (const std::string& piece : {std::string("a"), std::string(), std::string("bc")}) {
      EXPECT_TRUE(Write(port, piece, &written));
      EXPECT_EQ(piece.size(), written);
    }
    EXPECT_TRUE(End(port)) << GetLastError();
    EXPECT_EQ(before + 1, OpenPrinterHandles()) << "EndDocPort closes the job's printer";
    EXPECT_STREQ(document, job.Record().pDocName);
    EXPECT_EQ(nullptr, job.Record().pOutputFile);
  }
  EXPECT_EQ((Messages{ChecksumMessage(kAbc), ChecksumMessage(kAbc)}), Debug.Messages());
  // One key level per name: the backslashes of the document became slashes.
  std::optional<RawValue> value = ReadRaw(RecordKey(kJobPrinter.Name, L"C:\\docs\\a.txt"), L"LastChecksum");
  EXPECT_EQ((RawValue{REG_DWORD, {0xe5, 0xeb, 0xf0, 0x01}}), value.value_or(RawValue{}));
  BYTE buffer[100] = {7};
  DWORD read = 0;
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ReadPort(port, buffer, sizeof buffer, &read));
  EXPECT_EQ(sizeof buffer, read) << "ReadPort reports the whole buffer read and leaves it";
  EXPECT_EQ(7, buffer[0]);
  EXPECT_TRUE(Module->ClosePort(port));
}

// The pass-through printer gets the job's raw bytes, PostScript comments
// and zero bytes included, from writes of any size, and the checksum is the
// one without pass-through. "Print" 0 in the settings turns it off. Wine
// honours an output file named in the document record; the pass-through
// document must go to the printer instead, from a copy of the record: a
// read-only record works, and the spooler's record is never written.
TEST_F(Jobs, PassThroughSendsTheJobUnchanged) {
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPassThroughKey(L"Pass:", kPassTargetPrinter.Name));
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPassThroughKey(L"Off:", kPassTargetPrinter.Name));
  ASSERT_EQ(ERROR_SUCCESS, WriteDword(Root.Child(L"Off:"), L"Print", 0));
  Initialize();
  std::string data = "%!PS-Adobe-3.0\n%%Title: (pieces)\n";
  for (unsigned i = 0; data.size() < 150000; ++i) data += static_cast<char>(i * 7 + i / 251);
  Writes pieces;
  size_t offset = 0;
  for (size_t size : {1, 0, 2, 3, 4093, 1, 131077, 20000})
    pieces.push_back(data.substr(offset, size)), offset += size;
  Printed();
  PrintJob(L"Off:", kDocument, pieces);
  EXPECT_FALSE(Printed()) << "pass-through off: the printer named in the settings gets nothing";
  PrintJob(L"Pass:", kDocument, pieces);
  EXPECT_TRUE(Printed() == data) << "the printed bytes differ";
  EXPECT_EQ(Messages(2, ChecksumMessage(ExpectedChecksum(pieces))), Debug.Messages())
      << "the same checksum as without pass-through";

  std::wstring outputFile = PrinterOutputFile(kPassTargetPrinter.Name) + L".spooler's";
  DeleteFileW(outputFile.c_str());
  RealJob job(kJobPrinter.Name, kDocument);
  job.Record().pOutputFile = outputFile.data();
  ProtectedPage record(PAGE_READWRITE);
  std::memcpy(record.Bytes(), job.DocInfo(), sizeof(DOC_INFO_1W));
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(record.Bytes(), 4096, PAGE_READONLY, &old));
  HANDLE port = Open(L"Pass:");
  ASSERT_TRUE(Start(port, job, 1, record.Bytes())) << GetLastError();
  ASSERT_TRUE(Write(port, "to the printer"));
  EXPECT_TRUE(End(port)) << GetLastError();
  EXPECT_EQ("to the printer", Printed().value_or("<nothing printed>"));
  EXPECT_FALSE(ReadFileBytes(outputFile)) << "the pass-through document went to the output file";
  EXPECT_TRUE(Module->ClosePort(port));
}

// "Dead End" accepts the document but fails at EndDocPrinter. EndDocPort
// then fails with that code after recording the checksum, and ends nothing
// more; the next StartDocPort closes both printers, so failing jobs do not
// pile up handles. Once the printer's port leads somewhere (Wine's port
// mapping), the spooler's retry of the job goes through.
TEST_F(Jobs, PassThroughPrinterThatFailsTheEnd) {
  Initialize();
  ASSERT_TRUE(AddPort(L"Pass:", kLevelFF, kDeadEndPrinter.Name));
  RealJob direct(kDeadEndPrinter.Name, L"vt-job direct");
  SetLastError(kSentinel);
  EXPECT_FALSE(direct.End());
  const DWORD deadEnd = GetLastError();  // what EndDocPort must report
  ForgetRecord(kJobPrinter.Name, kDocument);
  HANDLE port = Open(L"Pass:");
  const size_t before = OpenPrinterHandles();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(testing::Message() << "job " << round);
    Debug.Clear();
    JobRun run = RunJob(Module.Get(), port, kJobPrinter.Name, kDocument, {"abcd"});
    EXPECT_EQ("EndDocPort failed with " + std::to_string(deadEnd) + " (document \"vt-job document\")", run.Problem);
    EXPECT_EQ((Messages{"Checksum: 4126206949\n", kEndDocPrinterFailed}), Debug.Messages());
    EXPECT_EQ(std::optional<DWORD>(kAbcd), ReadRecord(kJobPrinter.Name, kDocument));
    EXPECT_EQ(before + 2, OpenPrinterHandles()) << "this job's two printers, not those before it";
  }
  EXPECT_TRUE(Module->ClosePort(port));
}

// A spooler that names no printer or no job (Wine's passes a null printer
// name and job id 0): the port finds the printer whose port list holds it
// (here its second port, in other letters, after a blank) and the job by its
// document name (another document's job comes first), so the record and the
// pass-through work as when both are named. A job that cannot be found is
// refused with a message saying why, leaving no printer open.
TEST_F(Jobs, StartWithoutPrinterNameOrJobId) {
  Initialize();
  ASSERT_TRUE(AddPort(L"Jobless:", kLevelFF, kPassTargetPrinter.Name));
  ASSERT_TRUE(AddPort(L"Unused:"));
  ScratchPrinter printer(L"Jobless Printer", L"LPT2:, JOBLESS:");
  ASSERT_TRUE(printer.Ok()) << "AddPrinterW failed with " << printer.Error();
  ForgetRecord(printer.Name(), L"Jobless.txt");
  ForgetRecord(printer.Name(), L"Other.txt");
  const std::string data = "%!PS-Adobe-3.0\nabc";
  const struct {
    const wchar_t *Port, *Printer, *Document;
    bool GivePrinter, GiveId;
    DWORD Error;
    const char* Message;  // on refusal
  } cases[] = {
      {L"Jobless:", printer.Name(), L"Jobless.txt", false, false, 0, nullptr},  // Wine
      {L"Jobless:", printer.Name(), L"Jobless.txt", false, true, 0, nullptr},
      {L"Jobless:", printer.Name(), L"Jobless.txt", true, false, 0, nullptr},
      {L"Jobless:", printer.Name(), L"Jobless.txt", true, true, 0, nullptr},  // Windows
      {L"Unused:", printer.Name(), L"Jobless.txt", false, false, ERROR_INVALID_PRINTER_NAME,
       "CPort::StartDocPort(): no printer prints to this port.\n"},
      {L"Jobless:", kJobPrinter.Name, L"Never printed here.txt", false, false, ERROR_INVALID_PARAMETER,
       "CPort::StartDocPort(): the job was not found on the port's printers.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Port << " printer " << c.GivePrinter << " id " << c.GiveId);
    RealJob decoy(printer.Name(), L"Other.txt");
    RealJob job(c.Printer, c.Document);
    ASSERT_TRUE(decoy.Started() && job.Started()) << "error " << job.Error();
    Printed();
    DeleteRecord(printer.Name(), L"Jobless.txt");
    HANDLE port = Open(c.Port);
    Debug.Clear();
    const size_t before = OpenPrinterHandles();
    SetLastError(kSentinel);
    const BOOL started = Module->StartDocPort(port, c.GivePrinter ? job.PrinterName() : nullptr,
                                              c.GiveId ? job.Id() : 0, 1, job.DocInfo());
    if (c.Error) {
      EXPECT_FALSE(started);
      EXPECT_EQ(c.Error, GetLastError());
      EXPECT_EQ(Messages{c.Message}, Debug.Messages());
      EXPECT_EQ(before, OpenPrinterHandles()) << "no printer left open";
    } else {
      ASSERT_TRUE(started) << GetLastError();
      EXPECT_TRUE(Write(port, data));
      EXPECT_TRUE(End(port)) << "the job notification failed with " << GetLastError();
      EXPECT_EQ(std::optional<DWORD>(ExpectedChecksum({data})), ReadRecord(printer.Name(), L"Jobless.txt"));
      EXPECT_FALSE(ReadRecord(printer.Name(), L"Other.txt"));
      EXPECT_EQ(data, Printed().value_or("<nothing printed>"));
    }
    EXPECT_TRUE(Module->ClosePort(port));
  }
}

// Spooler calls that fail a job: a pass-through printer that cannot be
// opened, refuses the document or prints back to the port (on itself, or
// through another port's printer), and each job-path call made to fail
// without setting a code (its import replaced: that must not turn into
// success). The port's call fails with the code, or ERROR_GEN_FAILURE, and a
// message naming the call. A failed start keeps only the job's own printer
// open and leaves the spooler's record alone, a failed write reports nothing
// written and counts nothing; EndDocPort then still finishes the job.
const wchar_t* FailFor = nullptr;  // OpenPrinterW fails for this printer only
BOOL WINAPI OpenFails(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) {
  if (name && lstrcmpW(name, FailFor) == 0) return SetLastError(0), FALSE;
  return OpenPrinterW(name, printer, defaults);
}
DWORD WINAPI StartFails(HANDLE, DWORD, LPBYTE) { return SetLastError(0), 0; }
BOOL WINAPI WriteFails(HANDLE, LPVOID, DWORD, LPDWORD) { return SetLastError(0), FALSE; }
BOOL WINAPI EndFails(HANDLE) { return SetLastError(0), FALSE; }
BOOL WINAPI SetJobFails(HANDLE, DWORD, DWORD, LPBYTE, DWORD) { return SetLastError(0), FALSE; }

TEST_F(Jobs, FailedSpoolerCallsFailTheJobVisibly) {
  Initialize({L"Plain:"});
  ScratchPrinter self(L"Loop Self", L"LOOPSELF:"), toA(L"Loop To A", L"LOOPA:"), toB(L"Loop To B", L"LOOPB:");
  ASSERT_TRUE(self.Ok() && toA.Ok() && toB.Ok());
  for (auto [port, target] : {std::pair<const wchar_t*, const wchar_t*>{L"Pass:", kPassTargetPrinter.Name},
                              {L"Missing:", kMissingPrinter},
                              {L"LOOPSELF:", self.Name()},
                              {L"LOOPA:", toB.Name()},
                              {L"LOOPB:", toA.Name()}})
    ASSERT_TRUE(AddPort(port, kLevelFF, target));
  const char kLoop[] = "CChecksumPort::StartDocPort(): the pass-through printer prints back to this port.\n";
  const char kOpenFailed[] =
      "CChecksumPort::StartDocPort(): OpenPrinter of the pass-through printer failed.\n";
  const char kStartFailed[] = "CChecksumPort::StartDocPort(): StartDocPrinter failed.\n";
  enum Step { AtStart, AtWrite, AtEnd };
  const struct {
    const wchar_t* Port;
    DWORD Level;           // StartDocPrinterW refuses level 4 (the spooler never sends it)
    const char* Function;  // replaced by Stub, if given
    void* Stub;
    const wchar_t* FailFor;
    Step FailsAt;
    DWORD Error;
    const char* Message;
  } cases[] = {
      // clang-format off
      {L"Missing:", 1, nullptr, nullptr, nullptr, AtStart, ERROR_INVALID_PRINTER_NAME, kOpenFailed},
      {L"Pass:", 4, nullptr, nullptr, nullptr, AtStart, ERROR_INVALID_LEVEL, kStartFailed},
      {L"LOOPSELF:", 1, nullptr, nullptr, nullptr, AtStart, ERROR_CIRCULAR_DEPENDENCY, kLoop},
      {L"LOOPA:", 1, nullptr, nullptr, nullptr, AtStart, ERROR_CIRCULAR_DEPENDENCY, kLoop},
      {L"LOOPB:", 1, nullptr, nullptr, nullptr, AtStart, ERROR_CIRCULAR_DEPENDENCY, kLoop},
      {L"Plain:", 1, "OpenPrinterW", (void*)OpenFails, kJobPrinter.Name, AtStart, ERROR_GEN_FAILURE, "CPort::StartDocPort(): OpenPrinter failed.\n"},
      {L"Pass:", 1, "OpenPrinterW", (void*)OpenFails, kPassTargetPrinter.Name, AtStart, ERROR_GEN_FAILURE, kOpenFailed},
      {L"Pass:", 1, "StartDocPrinterW", (void*)StartFails, nullptr, AtStart, ERROR_GEN_FAILURE, kStartFailed},
      {L"Pass:", 1, "WritePrinter", (void*)WriteFails, nullptr, AtWrite, ERROR_GEN_FAILURE, "CChecksumPort::WritePort(): WritePrinter failed.\n"},
      {L"Pass:", 1, "EndDocPrinter", (void*)EndFails, nullptr, AtEnd, ERROR_GEN_FAILURE, kEndDocPrinterFailed},
      {L"Plain:", 1, "SetJobW", (void*)SetJobFails, nullptr, AtEnd, ERROR_GEN_FAILURE, kSetJobFailed},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "port " << c.Port << ": " << c.Message);
    FailFor = c.FailFor;
    ForgetRecord(kJobPrinter.Name, kDocument);
    RealJob job(kJobPrinter.Name, kDocument);
    std::wstring outputFile = L"C:\\spooler's own.prn";
    job.Record().pOutputFile = outputFile.data();
    HANDLE port = Open(c.Port);
    ASSERT_TRUE(Write(port, "abc")) << "data from before the start";
    std::optional<ImportPatch> patch;
    if (c.Function) patch.emplace(Module.Handle(), "winspool.drv", c.Function, c.Stub);
    ASSERT_TRUE(!patch || patch->Ok());
    Debug.Clear();
    const size_t before = OpenPrinterHandles();
    DWORD written = 0x5a5a5a5a;
    EXPECT_FALSE(Start(port, job, c.Level) && (c.FailsAt < AtWrite || Write(port, "abc", &written)) &&
                 (c.FailsAt < AtEnd || End(port)));
    EXPECT_EQ(c.Error, GetLastError());
    const Messages messages = Debug.Messages();
    EXPECT_NE(messages.end(), std::find(messages.begin(), messages.end(), c.Message));
    patch.reset();
    if (c.FailsAt == AtStart && c.FailFor != kJobPrinter.Name) {
      EXPECT_EQ(Messages{c.Message}, messages);
      EXPECT_EQ(outputFile.data(), job.Record().pOutputFile);
      EXPECT_EQ(before + 1, OpenPrinterHandles()) << "only the job's own printer is open";
    }
    if (c.FailsAt == AtWrite) {
      EXPECT_EQ(0u, written);
    }
    if (c.FailsAt == AtWrite || (c.FailsAt == AtStart && c.FailFor != kJobPrinter.Name)) {
      EXPECT_TRUE(End(port)) << GetLastError();
      EXPECT_EQ("Checksum: 0\n", Debug.Messages().back()) << "nothing counted since the start";
      EXPECT_EQ(std::optional<DWORD>(0), ReadRecord(kJobPrinter.Name, kDocument));
      EXPECT_EQ(before, OpenPrinterHandles());
    }
    EXPECT_TRUE(Module->ClosePort(port));
  }
}

}  // namespace
}  // namespace vt

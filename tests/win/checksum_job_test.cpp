// The checksum port's jobs through the exports, on real jobs of the prefix's
// printers: the debugger message and the registry record that every finished
// job leaves, how the write path answers good and bad buffers, and the end of
// a job that was never started. The checksum arithmetic and the PostScript
// rules are tested natively (tests/native); here only end-to-end values.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "checksum_port_test.h"
#include "memory_pages.h"

namespace vt {
namespace {

using Names = std::vector<std::wstring>;

const DWORD kUntouched = 0x5a5a5a5a;

// The checksum of the job "abc": 32566245.
const DWORD kAbc = 0x01F0EBE5;

class ChecksumJob : public ChecksumPortTest {
 protected:
  void SetUp() override {
    ChecksumPortTest::SetUp();
    if (HasFatalFailure()) return;
    Initialize({L"CS1:"});
    Port = Open(L"CS1:");
    ASSERT_NE(nullptr, Port);
    Debug.Clear();
  }
  void TearDown() override {
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->ClosePort(Port));
    ChecksumPortTest::TearDown();
  }

  BOOL WriteRaw(const void* buffer, DWORD size, DWORD* written) {
    SetLastError(kSentinel);
    return Module->WritePort(Port, static_cast<LPBYTE>(const_cast<void*>(buffer)), size, written);
  }

  HANDLE Port = nullptr;
};

// ---------------------------------------------------------------------------
// The record.

TEST_F(ChecksumJob, RecordKeyHasOneLevelPerName) {
  const std::wstring printerKey = std::wstring(kRecordRoot) + L"\\" + kJobPrinter.Name;
  ScopedRecord record(kJobPrinter.Name, L"C:/docs/a.txt");
  DeleteKeyTree(HKEY_LOCAL_MACHINE, printerKey + L"\\C:");
  {
    RealJob job(kJobPrinter.Name, L"C:\\docs\\a.txt");
    ASSERT_TRUE(Start(Port, job));
    ASSERT_TRUE(Write(Port, {"abc"}));
    EXPECT_TRUE(End(Port)) << "error " << GetLastError();
  }
  EXPECT_EQ(Messages{ChecksumMessage(kAbc)}, Debug.Messages());

  std::optional<RecordValue> value = record.Read();
  ASSERT_TRUE(value) << "no LastChecksum under the document's key";
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), value->Type);
  EXPECT_EQ(4u, value->Size);
  EXPECT_EQ(kAbc, value->Value);

  // The backslashes of the document name made no key levels of their own.
  Names documents = Subkeys(HKEY_LOCAL_MACHINE, printerKey);
  EXPECT_NE(documents.end(), std::find(documents.begin(), documents.end(), L"C:/docs/a.txt"));
  EXPECT_EQ(documents.end(), std::find(documents.begin(), documents.end(), L"C:"));
  EXPECT_EQ(Names{}, Subkeys(HKEY_LOCAL_MACHINE, record.Key()));
}

// Also the two end-to-end values: "abc", and a job without data.
TEST_F(ChecksumJob, SameDocumentTwiceKeepsTheSecondChecksum) {
  ScopedRecord record(kJobPrinter.Name, L"Twice.txt");
  const struct {
    std::vector<std::string> Pieces;
    std::string Message;
    DWORD Stored;
  } jobs[] = {{{"abc"}, "Checksum: 32566245\n", 0x01F0EBE5}, {{}, "Checksum: 0\n", 0}};
  for (const auto& expected : jobs) {
    SCOPED_TRACE(expected.Message);
    {
      RealJob job(kJobPrinter.Name, L"Twice.txt");
      ASSERT_TRUE(Start(Port, job));
      ASSERT_TRUE(Write(Port, expected.Pieces));
      EXPECT_TRUE(End(Port)) << "error " << GetLastError();
    }
    EXPECT_EQ(Messages{expected.Message}, Debug.Messages());
    Debug.Clear();
    std::optional<RecordValue> value = record.Read();
    ASSERT_TRUE(value);
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), value->Type);
    EXPECT_EQ(expected.Stored, value->Value);
  }
}

// The document's key exists with a security descriptor that refuses write
// access (Wine honours RegSetKeySecurity): the record cannot be written, and
// the job ends exactly as it would otherwise.
TEST_F(ChecksumJob, RecordThatCannotBeWrittenDoesNotFailTheJob) {
  ScopedRecord record(kJobPrinter.Name, L"Refused.txt");
  ASSERT_EQ(ERROR_SUCCESS, WriteDword(HKEY_LOCAL_MACHINE, record.Key(), L"LastChecksum", 7));
  ASSERT_EQ(ERROR_SUCCESS, DenyRead(HKEY_LOCAL_MACHINE, record.Key()));
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExW(HKEY_LOCAL_MACHINE, record.Key().c_str(), 0, nullptr,
                                                 REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                                                 nullptr));

  RealJob job(kJobPrinter.Name, L"Refused.txt");
  HANDLE freeHandle = NextPrinterHandle();
  ASSERT_TRUE(Start(Port, job));
  ASSERT_TRUE(Write(Port, {"abc"}));
  EXPECT_TRUE(End(Port)) << "error " << GetLastError();
  // A registry refusal has no message of its own.
  EXPECT_EQ(Messages{ChecksumMessage(kAbc)}, Debug.Messages());
  EXPECT_EQ(freeHandle, NextPrinterHandle()) << "the base job was ended";

  ASSERT_EQ(ERROR_SUCCESS, AllowAll(HKEY_LOCAL_MACHINE, record.Key()));
  EXPECT_EQ(7u, record.Read().value_or(RecordValue{}).Value);
}

// Nothing to read the names from: the message still comes first, then the
// failed look-up, then the base's failed end of the job.
TEST_F(ChecksumJob, EndWithoutAStartedJobSendsTheChecksumAndNoRecord) {
  Names printersBefore = Subkeys(HKEY_LOCAL_MACHINE, kRecordRoot);
  SetLastError(kSentinel);
  ASSERT_FALSE(SetJobW(nullptr, 0, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER));
  DWORD refusal = GetLastError();

  EXPECT_FALSE(End(Port));
  EXPECT_EQ(refusal, GetLastError());
  EXPECT_EQ((Messages{"Checksum: 0\n", "CChecksumPort::WriteChecksum(): GetJob failed.\n",
                      "CPort::EndDocPort(): SetJob(Cancel) failed.\n"}),
            Debug.Messages());
  EXPECT_EQ(printersBefore, Subkeys(HKEY_LOCAL_MACHINE, kRecordRoot));
}

// ---------------------------------------------------------------------------
// Every port is a checksum port: the job calls accept its handle, and its
// jobs end with the checksum, however the port was made.

using ChecksumPortKinds = ChecksumPortTest;

TEST_F(ChecksumPortKinds, EveryPortIsAChecksumPort) {
  Initialize({L"FromRegistry:"});
  std::wstring level1Name = L"FromLevel1:";
  PORT_INFO_1W level1 = {level1Name.data()};
  SetLastError(kSentinel);
  ASSERT_TRUE(Module->AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&level1), nullptr))
      << "error " << GetLastError();
  AddPort(L"FromLevelFF:", nullptr);

  for (const wchar_t* portName : {L"FromRegistry:", L"FromLevel1:", L"FromLevelFF:"}) {
    SCOPED_TRACE(testing::Message() << "port " << portName);
    ScopedRecord record(kJobPrinter.Name, portName);
    Debug.Clear();
    PrintJob(portName, portName, {"a", "bc"});
    EXPECT_EQ(Messages{ChecksumMessage(kAbc)}, Debug.Messages());
    EXPECT_EQ(kAbc, record.Read().value_or(RecordValue{}).Value);
  }
}

// ---------------------------------------------------------------------------
// WritePort's answers. The job is "abc" in the end: no refused write counted.

TEST_F(ChecksumJob, WritePortCountsAndRefusesBadBuffers) {
  RealJob job(kJobPrinter.Name, L"Writes.txt");
  ScopedRecord record(kJobPrinter.Name, L"Writes.txt");
  ASSERT_TRUE(Start(Port, job));

  EXPECT_TRUE(WriteRaw("a", 1, nullptr)) << "a null count pointer is allowed";

  DWORD written = kUntouched;
  EXPECT_TRUE(WriteRaw("", 0, &written));
  EXPECT_EQ(0u, written);

  written = kUntouched;
  EXPECT_FALSE(WriteRaw(nullptr, 3, &written));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(kUntouched, written) << "a null buffer leaves the count alone";

  ProtectedPage noAccess(PAGE_NOACCESS);
  ASSERT_TRUE(noAccess.Ok());
  EXPECT_FALSE(WriteRaw(noAccess.Bytes(), 3, &written));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  ProtectedPage readOnly(PAGE_READONLY);
  ASSERT_TRUE(readOnly.Ok());
  EXPECT_FALSE(WriteRaw("x", 1, readOnly.As<DWORD>()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  written = kUntouched;
  EXPECT_TRUE(WriteRaw("bc", 2, &written));
  EXPECT_EQ(2u, written);

  EXPECT_TRUE(End(Port)) << "error " << GetLastError();
  EXPECT_EQ(Messages{ChecksumMessage(kAbc)}, Debug.Messages());
  EXPECT_EQ(kAbc, record.Read().value_or(RecordValue{}).Value);
}

struct OtherThreadWrite {
  const VardletExports* Exports;
  HANDLE Port;
  BOOL Result;
};

DWORD WINAPI WriteOnOtherThread(void* context) {
  auto* call = static_cast<OtherThreadWrite*>(context);
  DWORD written = 0;
  call->Result = call->Exports->WritePort(call->Port, reinterpret_cast<LPBYTE>(const_cast<char*>("z")), 1,
                                          &written);
  return 0;
}

// A buffer whose last bytes lie in reserved memory: refused, not a crash, and
// the port's lock is free again for the spooler's other threads.
TEST_F(ChecksumJob, BufferRunningIntoUnreadableMemoryIsRefused) {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const SIZE_T page = system.dwPageSize;
  BYTE* base = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(nullptr, base);
  ASSERT_NE(nullptr, VirtualAlloc(base, page, MEM_COMMIT, PAGE_READWRITE));

  DWORD written = kUntouched;
  EXPECT_FALSE(WriteRaw(base + page - 3, 6, &written));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  VirtualFree(base, 0, MEM_RELEASE);

  OtherThreadWrite call = {&Module.Get(), Port, FALSE};
  HANDLE thread = CreateThread(nullptr, 0, WriteOnOtherThread, &call, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  if (WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "a write on another thread still waits for the port";
    TerminateThread(thread, 1);
  }
  CloseHandle(thread);
  EXPECT_TRUE(call.Result);
}

}  // namespace
}  // namespace vt

#include "monitor_fixture.h"

#include <winspool.h>

#include <algorithm>

#include "csumstream.h"

namespace vt {

uint32_t ExpectedChecksum(const Writes& writes) {
  CChecksumStream stream;
  for (const std::string& write : writes)
    stream.Write(reinterpret_cast<const uint8_t*>(write.data()), static_cast<uint32_t>(write.size()));
  return stream.Finish();
}

std::string ChecksumMessage(uint32_t checksum) { return "Checksum: " + std::to_string(checksum) + "\n"; }

Writes MakeJob(uint32_t seed, size_t totalBytes, size_t maxWrite) {
  uint32_t state = seed * 2654435761u + 1;  // xorshift32: the same job on every run
  auto below = [&state](size_t bound) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    return bound ? state % bound : 0;
  };
  static const char kInteresting[] = "%()\\\n\f\r\0 ";
  const bool postscript = seed % 2 == 0;
  std::string data = postscript ? "%!PS-Adobe-3.0\n%%Creator: vardlet stress\n" : "";
  while (data.size() < totalBytes) {
    switch (below(postscript ? 5 : 2)) {
      case 0:  // raw bytes, weighted towards what the scanner looks at
        for (size_t n = below(64); n > 0; --n)
          data += below(3) ? static_cast<char>(below(256)) : kInteresting[below(sizeof kInteresting - 1)];
        break;
      case 1:
        data += std::string(below(300), static_cast<char>('A' + below(26)));
        break;
      case 2:
        data += "%%CreationDate: " + std::to_string(below(100000)) + "\n";
        break;
      case 3:
        data += below(8) ? "(a % string (nested) \\) still) show\n" : "%!PS-Adobe";
        break;
      default:
        data += "% a comment with a carriage return\r only\f";
        break;
    }
  }
  data.resize(totalBytes);
  Writes writes;
  for (size_t at = 0; at < data.size(); at += writes.back().size())
    writes.push_back(data.substr(at, below(maxWrite + 1)));
  return writes;
}

std::wstring RecordKey(std::wstring printer, std::wstring document) {
  std::replace(printer.begin(), printer.end(), L'\\', L'/');
  std::replace(document.begin(), document.end(), L'\\', L'/');
  return kRecordRoot + L"\\" + printer + L"\\" + document;
}

std::optional<DWORD> ReadRecord(const std::wstring& printer, const std::wstring& document) {
  return ReadDword(RecordKey(printer, document), L"LastChecksum");
}

void DeleteRecord(const std::wstring& printer, const std::wstring& document) {
  DeleteKeyTree(RecordKey(printer, document));
}

JobRun RunJob(const VardletExports& dll, HANDLE port, const wchar_t* printer, const wchar_t* document,
              const Writes& writes, std::atomic<const char*>* doing) {
  JobRun run;
  std::atomic<const char*> unwatched;
  std::atomic<const char*>& step = doing ? *doing : unwatched;
  auto fail = [&](const std::string& call, DWORD error) {
    run.Problem = call + " failed with " + std::to_string(error) + " (document \"" +
                  std::string(document, document + wcslen(document)) + "\")";
    return run;
  };
  RealJob job(printer, document);
  if (!job.Started()) return fail("StartDocPrinterW of the real job", job.Error());
  step = "StartDocPort";
  SetLastError(kSentinel);
  if (!dll.StartDocPort(port, job.PrinterName(), job.Id(), 1, job.DocInfo()))
    return fail("StartDocPort", GetLastError());
  for (const std::string& write : writes) {
    DWORD written = 0xffffffff;
    step = "WritePort";
    SetLastError(kSentinel);
    if (!dll.WritePort(port, Bytes(write), static_cast<DWORD>(write.size()), &written)) {
      fail("WritePort", GetLastError());
      dll.EndDocPort(port);
      return run;
    }
    if (written != write.size())
      run.Problem =
          "WritePort reported " + std::to_string(written) + " of " + std::to_string(write.size()) + " bytes";
  }
  step = "EndDocPort";
  SetLastError(kSentinel);
  bool ended = dll.EndDocPort(port);
  step = "nothing";
  if (!ended) return fail("EndDocPort", GetLastError());
  std::optional<DWORD> record = ReadRecord(printer, document);
  if (run.Problem.empty() && record != ExpectedChecksum(writes))
    run.Problem = "record is " + (record ? std::to_string(*record) : "missing") + ", expected " +
                  std::to_string(ExpectedChecksum(writes));
  run.Ok = run.Problem.empty();
  return run;
}

void MonitorTest::SetUp() {
  ASSERT_TRUE(Debug.IsListening()) << Debug.Error();
  ASSERT_TRUE(Module.Load()) << Module.Error();
}

void MonitorTest::TearDown() {
  EXPECT_TRUE(Module.Unload()) << Module.Error();
  for (const auto& record : Records) DeleteRecord(record.first, record.second);
}

void MonitorTest::Initialize(const Names& portKeys) {
  ASSERT_EQ(ERROR_SUCCESS, portKeys.empty() ? ERROR_SUCCESS : Root.AddPortKeys(portKeys));
  SetLastError(kSentinel);
  ASSERT_TRUE(Module->InitializeMonitor(Root.Arg())) << "error " << GetLastError();
}

Names MonitorTest::PortNames() {
  DWORD needed = 0, returned = 0;
  Module->EnumPortsW(nullptr, 1, nullptr, 0, &needed, &returned);
  std::vector<BYTE> buffer(needed + sizeof(PORT_INFO_1W));  // never empty
  if (!Module->EnumPortsW(nullptr, 1, buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &returned)) {
    ADD_FAILURE() << "EnumPortsW failed with " << GetLastError();
    return {};
  }
  Names names;
  const auto* records = reinterpret_cast<const PORT_INFO_1W*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i) names.push_back(records[i].pName ? records[i].pName : L"<null>");
  return names;
}

HANDLE MonitorTest::Open(const wchar_t* portName) {
  HANDLE port = nullptr;
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->OpenPort(const_cast<LPWSTR>(portName), &port))
      << "OpenPort failed with " << GetLastError();
  return port;
}

BOOL MonitorTest::AddPort(const wchar_t* name, DWORD level, const wchar_t* printer) {
  PortRecordFF record = {const_cast<LPWSTR>(name),
                         printer ? static_cast<DWORD>((wcslen(printer) + 1) * 2) : 0u,
                         reinterpret_cast<LPBYTE>(const_cast<wchar_t*>(printer))};
  SetLastError(kSentinel);
  return Module->AddPortExW(nullptr, level, reinterpret_cast<LPBYTE>(&record), nullptr);
}

void MonitorTest::ForgetRecord(const std::wstring& printer, const std::wstring& document) {
  DeleteRecord(printer, document);
  Records.emplace_back(printer, document);
}

void MonitorTest::PrintJob(const wchar_t* portName, const wchar_t* document, const Writes& writes) {
  ForgetRecord(kJobPrinter.Name, document);
  HANDLE port = Open(portName);
  JobRun run = RunJob(Module.Get(), port, kJobPrinter.Name, document, writes);
  EXPECT_TRUE(run.Ok) << run.Problem;
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
}

}  // namespace vt

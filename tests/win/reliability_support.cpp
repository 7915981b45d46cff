#include "reliability_support.h"

#include <algorithm>
#include <cstdio>

#include "csumstream.h"
#include "printers.h"
#include "registry.h"
#include "test_printers.h"

namespace vt {

namespace {

const wchar_t kRecordRoot[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Checksums";

std::wstring Slashed(std::wstring name) {
  std::replace(name.begin(), name.end(), L'\\', L'/');
  return name;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string Describe(const char* call, const wchar_t* document, DWORD error) {
  char text[200];
  std::snprintf(text, sizeof text, "%s failed with %lu (document \"%s\")", call, error,
                Narrow(document).c_str());
  return text;
}

// xorshift32: the same job for the same seed on every run and platform.
struct Random {
  uint32_t State;
  explicit Random(uint32_t seed) : State(seed * 2654435761u + 1) {}
  uint32_t Next() {
    State ^= State << 13;
    State ^= State >> 17;
    State ^= State << 5;
    return State;
  }
  uint32_t Below(uint32_t bound) { return bound ? Next() % bound : 0; }
};

// The folder of a file port: "Z:\...\out\laser1.prn" -> "/.../out".
std::wstring OutputFolder() {
  std::wstring file = PrinterOutputFile(kPassTargetPrinter.Name);
  if (file.size() < 3) return L"";
  std::wstring unix = file.substr(2);
  std::replace(unix.begin(), unix.end(), L'\\', L'/');
  return unix.substr(0, unix.find_last_of(L'/'));
}

}  // namespace

uint32_t ExpectedChecksum(const Writes& writes) {
  CChecksumStream stream;
  stream.Reset();
  for (const std::string& write : writes)
    stream.Write(reinterpret_cast<const uint8_t*>(write.data()), static_cast<uint32_t>(write.size()));
  return stream.Finish();
}

std::wstring RecordKey(const std::wstring& printer, const std::wstring& document) {
  return std::wstring(kRecordRoot) + L"\\" + Slashed(printer) + L"\\" + Slashed(document);
}

std::optional<DWORD> ReadRecord(const std::wstring& printer, const std::wstring& document) {
  return ReadDword(HKEY_LOCAL_MACHINE, RecordKey(printer, document), L"LastChecksum");
}

void DeleteRecord(const std::wstring& printer, const std::wstring& document) {
  DeleteKeyTree(HKEY_LOCAL_MACHINE, RecordKey(printer, document));
}

JobRun RunJob(const VardletExports& dll, HANDLE port, const wchar_t* printer,
              const wchar_t* document, const Writes& writes) {
  JobRun run;
  RealJob job(printer, document);
  if (!job.Started()) {
    run.Problem = Describe("StartDocPrinterW of the real job", document, job.Error());
    return run;
  }
  if (!dll.StartDocPort(port, job.PrinterName(), job.Id(), 1, job.DocInfo())) {
    run.Problem = Describe("StartDocPort", document, GetLastError());
    return run;
  }
  bool wrote = true;
  for (const std::string& write : writes) {
    DWORD written = 0xffffffff;
    if (!dll.WritePort(port, Bytes(write), static_cast<DWORD>(write.size()), &written)) {
      run.Problem = Describe("WritePort", document, GetLastError());
      wrote = false;
      break;
    }
    if (written != write.size()) {
      run.Problem = "WritePort reported " + std::to_string(written) + " of " +
                    std::to_string(write.size()) + " bytes written";
      wrote = false;
      break;
    }
  }
  if (!dll.EndDocPort(port)) {
    if (run.Problem.empty()) run.Problem = Describe("EndDocPort", document, GetLastError());
    return run;
  }
  run.Ok = wrote;
  return run;
}

JobRun RunCheckedJob(const VardletExports& dll, HANDLE port, const wchar_t* printer,
                     const wchar_t* document, const Writes& writes) {
  JobRun run = RunJob(dll, port, printer, document, writes);
  if (!run.Ok) return run;
  std::optional<DWORD> record = ReadRecord(printer, document);
  uint32_t expected = ExpectedChecksum(writes);
  if (record != expected) {
    char text[200];
    std::snprintf(text, sizeof text, "record of \"%s\" is %s%lu, expected %u",
                  Narrow(document).c_str(), record ? "" : "missing, not ",
                  static_cast<unsigned long>(record.value_or(0)), expected);
    run.Problem = text;
    run.Ok = false;
  }
  return run;
}

Writes MakeJob(uint32_t seed, size_t totalBytes, size_t maxWrite) {
  Random random(seed);
  std::string data;
  const bool postscript = seed % 2 == 0;
  if (postscript) data = "%!PS-Adobe-3.0\n%%Creator: vardlet stress\n";
  static const char kInteresting[] = "%()\\\n\f\r\0 ";
  while (data.size() < totalBytes) {
    switch (random.Below(postscript ? 6 : 3)) {
      case 0:  // raw bytes, weighted towards what the scanner looks at
        for (uint32_t n = random.Below(64); n > 0; --n)
          data += random.Below(3) ? static_cast<char>(random.Next())
                                  : kInteresting[random.Below(sizeof kInteresting - 1)];
        break;
      case 1:
        data += "%%CreationDate: " + std::to_string(random.Next()) + "\n";
        break;
      case 2:
        data += random.Below(8) ? "(a % string (nested) \\) still) show\n" : "%!PS-Adobe";
        break;
      case 3:
        data += "% a comment with a carriage return\r only\f";
        break;
      case 4:
        data += std::to_string(random.Below(1000)) + " " + std::to_string(random.Below(1000)) +
                " moveto\n";
        break;
      default:
        data += std::string(random.Below(300), static_cast<char>('A' + random.Below(26)));
        break;
    }
  }
  data.resize(totalBytes);

  Writes writes;
  for (size_t at = 0; at < data.size();) {
    size_t size = std::min(data.size() - at, static_cast<size_t>(random.Below(
                                                 static_cast<uint32_t>(maxWrite) + 1)));
    writes.push_back(data.substr(at, size));
    at += size;
  }
  return writes;
}

std::wstring OutputFile(const wchar_t* fileName) { return OutputFolder() + L"/" + fileName; }

ScratchPrinter::ScratchPrinter(const wchar_t* name, const std::wstring& portName)
    : PrinterName(name) {
  std::wstring port = portName;
  PRINTER_INFO_2W info = {};
  info.pPrinterName = PrinterName.data();
  info.pDriverName = const_cast<LPWSTR>(kTestDriver);
  info.pPortName = port.data();
  info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
  info.pDatatype = const_cast<LPWSTR>(L"RAW");
  HANDLE handle = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  if (!handle) {
    AddError = GetLastError();
    return;
  }
  ClosePrinter(handle);
  Added = true;
}

ScratchPrinter::~ScratchPrinter() {
  if (Added) Delete();
}

bool ScratchPrinter::Delete() {
  PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE handle = nullptr;
  if (!OpenPrinterW(PrinterName.data(), &handle, &access)) return false;
  bool deleted = DeletePrinter(handle);
  ClosePrinter(handle);
  if (deleted) Added = false;
  return deleted;
}

size_t OpenPrinterHandles(size_t probes) {
  std::vector<HANDLE> handles;
  ULONG_PTR highest = 0;
  for (size_t i = 0; i < probes; ++i) {
    HANDLE handle = nullptr;
    if (!OpenPrinterW(const_cast<LPWSTR>(kJobPrinter.Name), &handle, nullptr)) break;
    handles.push_back(handle);
    highest = std::max(highest, reinterpret_cast<ULONG_PTR>(handle));
  }
  for (HANDLE handle : handles) ClosePrinter(handle);
  return handles.size() == probes ? highest - probes : static_cast<size_t>(-1);
}

size_t OpenKernelHandles(size_t probes) {
  std::vector<HANDLE> handles;
  ULONG_PTR highest = 0;
  for (size_t i = 0; i < probes; ++i) {
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!handle) break;
    handles.push_back(handle);
    highest = std::max(highest, reinterpret_cast<ULONG_PTR>(handle));
  }
  for (HANDLE handle : handles) CloseHandle(handle);
  return handles.size() == probes ? highest / 4 - probes : static_cast<size_t>(-1);
}

HeapUse MeasureHeap(HANDLE heap) {
  HeapUse use;
  if (!HeapLock(heap)) return use;
  PROCESS_HEAP_ENTRY entry = {};
  while (HeapWalk(heap, &entry)) {
    if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
      ++use.Blocks;
      use.Bytes += entry.cbData;
    }
  }
  HeapUnlock(heap);
  return use;
}

std::vector<HANDLE> ProcessHeaps() {
  std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
  heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
  return heaps;
}

}  // namespace vt

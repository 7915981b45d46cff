#include "printers.h"

#include "test_printers.h"

namespace vt {

RealJob::RealJob(const wchar_t* printerName, const wchar_t* documentName)
    : PrinterText(printerName), Document(documentName ? documentName : L"") {
  Doc.pDocName = documentName ? Document.data() : nullptr;
  Doc.pOutputFile = nullptr;
  Doc.pDatatype = Datatype.data();
  if (!OpenPrinterW(PrinterText.data(), &PrinterHandle, nullptr)) {
    StartError = GetLastError();
    PrinterHandle = nullptr;
    return;
  }
  JobId = StartDocPrinterW(PrinterHandle, 1, reinterpret_cast<LPBYTE>(&Doc));
  if (!JobId) StartError = GetLastError();
}

RealJob::~RealJob() {
  End();
  if (PrinterHandle) ClosePrinter(PrinterHandle);
}

bool RealJob::Write(const std::string& data) {
  DWORD written = 0;
  return Started() && !Ended &&
         WritePrinter(PrinterHandle, const_cast<char*>(data.data()), static_cast<DWORD>(data.size()),
                      &written) &&
         written == data.size();
}

bool RealJob::End() {
  if (!Started() || Ended) return false;
  Ended = true;
  return EndDocPrinter(PrinterHandle);
}

std::optional<JobInfo> GetJobInfo(const wchar_t* printerName, DWORD jobId) {
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<LPWSTR>(printerName), &printer, nullptr)) return std::nullopt;
  std::optional<JobInfo> result;
  DWORD needed = 0;
  GetJobW(printer, jobId, 1, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed ? needed : sizeof(JOB_INFO_1W));
  if (GetJobW(printer, jobId, 1, buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) {
    const auto* info = reinterpret_cast<const JOB_INFO_1W*>(buffer.data());
    JobInfo job;
    if (info->pPrinterName) job.PrinterName = info->pPrinterName;
    if (info->pDocument) job.Document = info->pDocument;
    job.Status = info->Status;
    result = job;
  }
  ClosePrinter(printer);
  return result;
}

std::wstring PrinterOutputFile(const wchar_t* printerName) {
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<LPWSTR>(printerName), &printer, nullptr)) return L"";
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed ? needed : sizeof(PRINTER_INFO_2W));
  std::wstring path;
  if (GetPrinterW(printer, 2, buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) {
    const wchar_t* port = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data())->pPortName;
    if (port && port[0] == L'/') {
      // Wine's Z: drive is the Unix root.
      path = std::wstring(L"Z:") + port;
      for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    }
  }
  ClosePrinter(printer);
  return path;
}

std::optional<std::string> ReadFileBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string data;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got) data.append(chunk, got);
  CloseHandle(file);
  return data;
}

HANDLE NextPrinterHandle() {
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<LPWSTR>(kJobPrinter.Name), &printer, nullptr)) return nullptr;
  ClosePrinter(printer);
  return printer;
}

}  // namespace vt

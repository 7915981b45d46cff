#include "printers.h"

#include <algorithm>
#include <vector>

#include "test_printers.h"

namespace vt {

RealJob::RealJob(const wchar_t* printerName, const wchar_t* documentName)
    : PrinterText(printerName), Document(documentName ? documentName : L"") {
  Doc.pDocName = documentName ? Document.data() : nullptr;
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

bool RealJob::End() {
  if (!Started() || Ended) return false;
  Ended = true;
  return EndDocPrinter(PrinterHandle);
}

ScratchPrinter::ScratchPrinter(const wchar_t* name, const std::wstring& portName) : PrinterName(name) {
  std::wstring port = portName;
  PRINTER_INFO_2W info = {};
  info.pPrinterName = PrinterName.data();
  info.pDriverName = const_cast<LPWSTR>(kTestDriver);
  info.pPortName = port.data();
  info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
  info.pDatatype = const_cast<LPWSTR>(L"RAW");
  HANDLE handle = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  AddError = handle ? 0 : GetLastError();
  Added = handle != nullptr;
  if (handle) ClosePrinter(handle);
}

bool ScratchPrinter::Delete() {
  PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE handle = nullptr;
  if (!Added || !OpenPrinterW(PrinterName.data(), &handle, &access)) return false;
  Added = !DeletePrinter(handle);
  ClosePrinter(handle);
  return !Added;
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
    if (port && port[0] == L'/') path = std::wstring(L"Z:") + port;  // Z: is the Unix root
    std::replace(path.begin(), path.end(), L'/', L'\\');
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

size_t OpenPrinterHandles(size_t probes) {
  std::vector<HANDLE> handles;
  ULONG_PTR highest = 0;
  for (HANDLE handle = nullptr;
       handles.size() < probes && OpenPrinterW(const_cast<LPWSTR>(kJobPrinter.Name), &handle, nullptr);)
    handles.push_back(handle), highest = std::max(highest, reinterpret_cast<ULONG_PTR>(handle));
  for (HANDLE handle : handles) ClosePrinter(handle);
  return handles.size() == probes ? highest - probes : static_cast<size_t>(-1);
}

}  // namespace vt

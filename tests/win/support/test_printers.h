// The printers that the wine.prefix fixture creates in each run's fresh prefix
// (tests/win/testbed_setup.cpp). Tests rely on these names; the setup program
// and the tests both take them from here.
#pragma once

#include <windows.h>

namespace vt {

// Driver of every test printer: Wine's PostScript driver with a minimal PPD.
inline constexpr const wchar_t* kTestDriver = L"Vardlet Test Driver";

struct TestPrinter {
  const wchar_t* Name;
  // Port of the printer. A name starting with '/' is a file in the fixture's
  // output folder (Wine writes each job there, truncated, at EndDocPrinter);
  // anything else is used as it is.
  const wchar_t* Port;
};

// The job's own printer: the printer a spooler job belongs to, the one the
// monitor opens in StartDocPort and reports the job to in EndDocPort.
inline constexpr TestPrinter kJobPrinter{L"Laser 1", L"/laser1.prn"};

// A second job printer, for jobs that must not be found on Laser 1.
inline constexpr TestPrinter kOtherJobPrinter{L"Laser 2", L"/laser2.prn"};

// Pass-through target: its output file holds the bytes of the last job
// printed on it, complete once EndDocPrinter has returned.
inline constexpr TestPrinter kPassTargetPrinter{L"Pass Target", L"/pass-target.prn"};

// A printer that accepts documents but fails at EndDocPrinter: its port is an
// unmapped LPT port, which Wine cannot open when it sends the job.
inline constexpr TestPrinter kDeadEndPrinter{L"Dead End", L"LPT3:"};

inline constexpr TestPrinter kAllTestPrinters[] = {kJobPrinter, kOtherJobPrinter, kPassTargetPrinter,
                                                   kDeadEndPrinter};

// No printer of the prefix has this name.
inline constexpr const wchar_t* kMissingPrinter = L"No Such Printer";

}  // namespace vt

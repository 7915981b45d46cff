// The printers that the wine.prefix fixture creates in each run's fresh prefix
// (cmake/wine-prefix.sh, with vardlet-spool add-printer). Tests rely on these
// names.
#pragma once

#include <windows.h>

namespace vt {

// Driver of every test printer (add-printer's): Wine's PostScript driver.
inline constexpr const wchar_t* kTestDriver = L"Vardlet Raw Driver";

struct TestPrinter {
  const wchar_t* Name;
};

// The job's own printer: the printer a spooler job belongs to, the one the
// monitor opens in StartDocPort and reports the job to in EndDocPort. Its
// jobs, and those of the next two, go to files in the fixture's output folder
// (Wine writes each job there, truncated, at EndDocPrinter).
inline constexpr TestPrinter kJobPrinter{L"Laser 1"};

// A second job printer, for jobs that must not be found on Laser 1.
inline constexpr TestPrinter kOtherJobPrinter{L"Laser 2"};

// Pass-through target: its output file holds the bytes of the last job
// printed on it, complete once EndDocPrinter has returned.
inline constexpr TestPrinter kPassTargetPrinter{L"Pass Target"};

// A printer that accepts documents but fails at EndDocPrinter: its port is an
// unmapped LPT port, which Wine cannot open when it sends the job.
inline constexpr TestPrinter kDeadEndPrinter{L"Dead End"};

// No printer of the prefix has this name.
inline constexpr const wchar_t* kMissingPrinter = L"No Such Printer";

}  // namespace vt

// The monitor under load and over time. Two additions of one name at once add
// it once. A busy spooler: job threads on ports of their own (half passing
// every job through to one printer) and threads fighting over one port, all
// at once; every record must equal the checksum computed alone, every loser
// of a fight must be told the port is busy, and no call may hang (a watchdog
// ends the run, naming the calls). (Administration while jobs print is
// tested through the spooler, in spooler_print_test.) Then thousands of
// succeeding and failing calls must leave kernel handles, printer handles,
// heap blocks and the port list as they were. The figures printed are those
// of docs/reliability.md.

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <iterator>
#include <thread>
#include <tuple>

#include "import_patch.h"
#include "monitor_fixture.h"
#include "process_resources.h"
#include "watched_threads.h"
#ifdef VARDLET_CHECK_LOCK_ORDER
#include "monitor.h"
#endif

namespace vt {
namespace {

// Scale: 32-bit Wine may run under user emulation, many times slower.
constexpr bool kEmulated = sizeof(void*) == 4;
constexpr int kJobThreads = 8, kPassThroughThreads = 4, kJobsPerThread = kEmulated ? 20 : 50;
constexpr int kContenders = 3, kRounds = kEmulated ? 30 : 80;
constexpr ULONGLONG kWatchdogMs = kEmulated ? 600000 : 120000;
// Calls each way for the leak count. Every kind of call comes round at least
// a hundred times in them (a job whose pass-through printer refuses the end,
// the rarest, about 150 times), so a leak of one handle or block on any path
// shows as a hundred or more.
constexpr long kCalls = 2000;

using Load = MonitorTest;

// A call under test and the code it must fail with (0: it must succeed).
struct Call {
  const char* What;
  std::function<BOOL()> Run;
  DWORD Error;
};

TEST_F(Load, SimultaneousAdditionsOfOneNameAddItOnce) {
  Initialize();
  for (int round = 0; round < 60; ++round) {
    std::wstring name = L"RACE" + std::to_wstring(round) + L":";
    std::atomic<int> ready{0};
    BOOL result[2] = {};
    DWORD error[2] = {};
    auto add = [&](int i) {
      PortRecordFF record = {name.data(), 0, nullptr};
      for (++ready; ready < 2;) {
      }
      SetLastError(kSentinel);
      result[i] = Module->AddPortExW(nullptr, i ? kLevelFF : 1, reinterpret_cast<LPBYTE>(&record), nullptr);
      error[i] = GetLastError();
    };
    std::thread first(add, 0), second(add, 1);
    first.join(), second.join();
    ASSERT_EQ(1, !!result[0] + !!result[1]) << "round " << round;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), error[result[0] ? 1 : 0]) << "round " << round;
  }
  EXPECT_EQ(60u, PortNames().size());
}

#ifdef VARDLET_CHECK_LOCK_ORDER
// The lock-order check of this build, on the library's classes linked in:
// the allowed order is silent, each kind of violation is named.
struct ExposedMonitor : CMonitor {
  ExposedMonitor() : CMonitor(nullptr) {}
  using CMonitor::EnterMutex, CMonitor::LeaveMutex;
};
struct ExposedPort : CPort {
  explicit ExposedPort(CMonitor* monitor) : CPort(monitor, L"X:") {}
  using CPort::EnterMutex, CPort::LeaveMutex;
};

TEST(LockOrder, ViolationsAreNamedOnTheDebuggerOutput) {
  DebugOutput debug;
  ExposedMonitor monitor;
  ExposedPort first(&monitor), second(&monitor);
  monitor.EnterMutex(), first.EnterMutex(), monitor.EnterMutex(), first.EnterMutex();
  first.LeaveMutex(), monitor.LeaveMutex(), first.LeaveMutex();
  second.EnterMutex(), second.LeaveMutex(), monitor.LeaveMutex();
  EXPECT_EQ(Messages{}, debug.Messages());
  first.EnterMutex(), monitor.EnterMutex(), monitor.LeaveMutex();
  second.EnterMutex(), second.LeaveMutex(), first.LeaveMutex();
  EXPECT_EQ((Messages{"Lock order violated: monitor mutex taken while a port mutex is held.\n",
                      "Lock order violated: a second port's mutex taken.\n"}),
            debug.Messages());
}
#endif

TEST_F(Load, JobsAndContentionAtOnce) {
  Names jobPorts;
  for (int i = 0; i < kJobThreads; ++i) {
    jobPorts.push_back(L"STRESS" + std::to_wstring(i) + L":");
    ASSERT_EQ(ERROR_SUCCESS, i < kPassThroughThreads
                                 ? Root.AddPassThroughKey(jobPorts[i], kPassTargetPrinter.Name)
                                 : Root.AddPortKeys({jobPorts[i]}));
  }
  Initialize({L"CONTEND:"});
  const VardletExports& dll = Module.Get();
  auto runJob = [&](Worker& self, HANDLE port, const wchar_t* printer, const std::wstring& document,
                    const Writes& writes) {
    JobRun run = RunJob(dll, port, printer, document.c_str(), writes, &self.Doing);
    if (!run.Ok) self.Problems.push_back(run.Problem);
  };
  auto document = [](const wchar_t* kind, int n) { return L"vt-stress\\" + (kind + std::to_wstring(n)); };
  for (int i = 0; i < kJobThreads; ++i)
    for (int j = 0; j < kJobsPerThread; ++j)
      ForgetRecord((i + j) % 2 ? kOtherJobPrinter.Name : kJobPrinter.Name, document(L"job", i * 1000 + j));
  for (int round = 0; round < kRounds; ++round) ForgetRecord(kJobPrinter.Name, document(L"contend", round));
  std::atomic<int> holders{0}, winners[kRounds] = {};
  std::atomic<long> busyRefusals{0};
  // The contenders meet twice a round: before the opens, after them.
  std::atomic<int> arrivals[2 * kRounds] = {};
  auto meet = [&](std::atomic<int>& arrived) {
    for (++arrived; arrived < kContenders;) std::this_thread::yield();
  };
  std::deque<Worker> workers;
  std::vector<HANDLE> jobHandles;
  for (int i = 0; i < kJobThreads; ++i) {
    jobHandles.push_back(Open(jobPorts[i].c_str()));
    workers.emplace_back().Name = "job thread " + std::to_string(i);
    workers.back().Step = [&, i](Worker& self, int j) {
      const uint32_t seed = static_cast<uint32_t>(i * 1000 + j);
      runJob(self, jobHandles[i], (i + j) % 2 ? kOtherJobPrinter.Name : kJobPrinter.Name, document(L"job", seed),
             MakeJob(seed, 1 + seed * 7919 % 48000, size_t{64} << (seed % 4 * 3)));
      return j + 1 < kJobsPerThread;
    };
  }
  // Every round all contenders open the one port at the same moment: one
  // gets it and runs a job, every other one is told 170 (busy).
  for (int c = 0; c < kContenders; ++c) {
    workers.emplace_back().Name = "contender " + std::to_string(c);
    workers.back().Step = [&](Worker& self, int round) {
      meet(arrivals[2 * round]);
      HANDLE port = reinterpret_cast<HANDLE>(0x5a5a);
      self.Doing = "OpenPort";
      SetLastError(kSentinel);
      BOOL opened = dll.OpenPort(const_cast<LPWSTR>(L"CONTEND:"), &port);
      DWORD error = GetLastError();
      if (opened) {
        ++winners[round];
        if (holders++ != 0) self.Problems.push_back("two holders of one port");
        runJob(self, port, kJobPrinter.Name, document(L"contend", round),
               MakeJob(static_cast<uint32_t>(100000 + round), 3000, 1000));
      } else if (++busyRefusals, error != ERROR_BUSY || port != reinterpret_cast<HANDLE>(0x5a5a)) {
        self.Problems.push_back("OpenPort refused with " + std::to_string(error) + " and wrote the handle");
      }
      meet(arrivals[2 * round + 1]);
      self.Doing = "ClosePort";
      if (opened && (--holders, !dll.ClosePort(port))) self.Problems.push_back("ClosePort failed");
      return round + 1 < kRounds;
    };
  }
  const ULONGLONG start = GetTickCount64();
  RunWatched(workers, kWatchdogMs);
  const double seconds = (GetTickCount64() - start) / 1000.0;

  size_t problems = 0;
  for (const Worker& w : workers)
    for (const std::string& problem : w.Problems)
      if (++problems <= 20) ADD_FAILURE() << w.Name << ": " << problem;
  for (const std::string& message : Debug.Messages())
    EXPECT_NE(0u, message.rfind("Lock order violated", 0)) << message;
  for (int round = 0; round < kRounds; ++round) EXPECT_EQ(1, winners[round].load()) << "round " << round;
  EXPECT_EQ(kRounds * (kContenders - 1), busyRefusals.load());
  for (HANDLE port : jobHandles) EXPECT_TRUE(Module->ClosePort(port));
  std::printf("stress: %d job threads x %d jobs (%d passing through to one printer) + %d threads contending "
              "for one port x %d rounds = %d jobs; %zu problems, %ld busy refusals, %.1f s\n",
              kJobThreads, kJobsPerThread, kPassThroughThreads, kContenders, kRounds,
              kJobThreads * kJobsPerThread + kRounds, problems, busyRefusals.load(), seconds);
}

// No debugger-output capture here: its own memory would grow with the calls.
TEST(Leaks, ThousandsOfCallsEachWayLeaveNothingBehind) {
  MonitorRoot root;
  VardletModule module;
  ASSERT_TRUE(module.Load()) << module.Error();
  ASSERT_EQ(ERROR_SUCCESS, root.AddPortKeys({L"HELD:", L"PLAIN:", L"STUCK:", L"STUCK:\\child"}));
  ASSERT_EQ(ERROR_SUCCESS, root.AddPassThroughKey(L"JOB:", kPassTargetPrinter.Name));
  ASSERT_EQ(ERROR_SUCCESS, root.AddPassThroughKey(L"DEAD:", kDeadEndPrinter.Name));
  ASSERT_TRUE(module->InitializeMonitor(root.Arg()));
  RealJob direct(kDeadEndPrinter.Name, L"vt-leaks direct");
  ASSERT_FALSE(direct.End());
  const DWORD deadEnd = GetLastError();  // what EndDocPort must report on DEAD:
  const VardletExports& dll = module.Get();
  HANDLE held = nullptr, port = nullptr;
  ASSERT_TRUE(dll.OpenPort(const_cast<LPWSTR>(L"HELD:"), &held));
  const std::string data = "%!PS-Adobe-3.0\n(leak test) show % gone\n";
  const wchar_t kDocument[] = L"vt-leaks document";
  std::wstring target = kPassTargetPrinter.Name, longName(300, L'n');
  PortRecordFF added = {const_cast<LPWSTR>(L"ADDED:"), static_cast<DWORD>((target.size() + 1) * 2),
                        reinterpret_cast<LPBYTE>(target.data())};
  PORT_INFO_1W duplicate = {const_cast<LPWSTR>(L"plain:")}, comma = {const_cast<LPWSTR>(L"a,b")},
               tooLong = {longName.data()};
  BYTE buffer[4096];
  DWORD needed = 0, returned = 0, written = 0;
  long succeeded = 0, failed = 0, problems = 0;
  auto run = [&](const std::vector<Call>& calls) {
    for (const Call& call : calls) {
      SetLastError(kSentinel);
      const BOOL ok = call.Run();
      const DWORD error = GetLastError();
      if ((ok ? call.Error != 0 : error != call.Error || !call.Error) && ++problems <= 10)
        ADD_FAILURE() << call.What << " gave " << (ok ? "success" : std::to_string(error)) << ", expected "
                      << call.Error;
      ++(call.Error ? failed : succeeded);
    }
  };
  auto name = [](const wchar_t* text) { return const_cast<LPWSTR>(text); };
  auto asBytes = [](void* record) { return reinterpret_cast<LPBYTE>(record); };
  // A job through JOB:, passing through, or through DEAD:, whose
  // pass-through printer refuses the end.
  auto job = [&](const wchar_t* portName, DWORD endError) {
    RealJob real(kJobPrinter.Name, kDocument);
    auto write = [&] { return dll.WritePort(port, Bytes(data), static_cast<DWORD>(data.size()), &written); };
    run({
        // clang-format off
        {"OpenPort", [&] { return dll.OpenPort(name(portName), &port); }, 0},
        {"StartDocPort", [&] { return dll.StartDocPort(port, real.PrinterName(), real.Id(), 1, real.DocInfo()); }, 0},
        {"WritePort", write, 0},
        {"WritePort", write, 0},
        {"EndDocPort", [&] { return dll.EndDocPort(port); }, endError},
        {"ClosePort", [&] { return dll.ClosePort(port); }, 0},
        // clang-format on
    });
  };
  const std::vector<Call> succeeding = {
      // clang-format off
      {"OpenPort", [&] { return dll.OpenPort(name(L"PLAIN:"), &port); }, 0},
      {"ClosePort", [&] { return dll.ClosePort(port); }, 0},
      {"AddPortExW level 1", [&] { return dll.AddPortExW(nullptr, 1, asBytes(&added), nullptr); }, 0},
      {"DeletePortW", [&] { return dll.DeletePortW(nullptr, nullptr, name(L"ADDED:")); }, 0},
      {"AddPortExW level FF", [&] { return dll.AddPortExW(nullptr, kLevelFF, asBytes(&added), nullptr); }, 0},
      {"DeletePortW", [&] { return dll.DeletePortW(nullptr, nullptr, name(L"ADDED:")); }, 0},
      {"EnumPortsW", [&] { return dll.EnumPortsW(nullptr, 1, buffer, sizeof buffer, &needed, &returned); }, 0},
      // clang-format on
  };
  const std::vector<Call> failing = {
      // clang-format off
      {"OpenPort unknown", [&] { return dll.OpenPort(name(L"NONE:"), &port); }, ERROR_UNKNOWN_PORT},
      {"OpenPort held", [&] { return dll.OpenPort(name(L"HELD:"), &port); }, ERROR_BUSY},
      {"ClosePort garbage", [&] { return dll.ClosePort(buffer); }, ERROR_INVALID_HANDLE},
      {"WritePort null", [&] { return dll.WritePort(held, nullptr, 4, &written); }, ERROR_INVALID_PARAMETER},
      {"StartDocPort missing printer", [&] { return dll.StartDocPort(held, name(kMissingPrinter), 1, 1, nullptr); }, ERROR_INVALID_PRINTER_NAME},
      {"EnumPortsW size query", [&] { return dll.EnumPortsW(nullptr, 1, nullptr, 0, &needed, &returned); }, ERROR_INSUFFICIENT_BUFFER},
      {"EnumPortsW level 2", [&] { return dll.EnumPortsW(nullptr, 2, buffer, sizeof buffer, &needed, &returned); }, ERROR_INVALID_LEVEL},
      {"AddPortExW duplicate", [&] { return dll.AddPortExW(nullptr, 1, asBytes(&duplicate), nullptr); }, ERROR_ALREADY_EXISTS},
      {"AddPortExW comma", [&] { return dll.AddPortExW(nullptr, 1, asBytes(&comma), nullptr); }, ERROR_INVALID_NAME},
      {"AddPortExW too long", [&] { return dll.AddPortExW(nullptr, 1, asBytes(&tooLong), nullptr); }, ERROR_INVALID_PARAMETER},
      {"DeletePortW unknown", [&] { return dll.DeletePortW(nullptr, nullptr, name(L"NONE:")); }, ERROR_UNKNOWN_PORT},
      {"DeletePortW held", [&] { return dll.DeletePortW(nullptr, nullptr, name(L"HELD:")); }, ERROR_BUSY},
      {"DeletePortW stuck", [&] { return dll.DeletePortW(nullptr, nullptr, name(L"STUCK:")); }, ERROR_ACCESS_DENIED},
      // clang-format on
  };
  const char* const kGauges[] = {"kernel handles", "printer handles", "heap blocks", "heap bytes", "port list bytes"};
  // On the stack: a vector on a heap would be counted itself.
  using Figures = std::array<size_t, std::size(kGauges)>;
  auto take = [&] {
    const std::pair<size_t, size_t> heaps = HeapUse();
    dll.EnumPortsW(nullptr, 1, nullptr, 0, &needed, &returned);
    return Figures{OpenKernelHandles(), OpenPrinterHandles(), heaps.first, heaps.second, needed};
  };

  // Once of everything first, so that what the platform keeps for later
  // (its caches, the handles a failed job keeps until the next) is there
  // before the count starts.
  job(L"JOB:", 0), run(succeeding), run(failing), job(L"DEAD:", deadEnd);
  ASSERT_EQ(0, problems);
  const Figures before = take();
  succeeded = failed = 0;
  const ULONGLONG start = GetTickCount64();
  for (long cycle = 0; (succeeded < kCalls || failed < kCalls) && problems == 0; ++cycle) {
    if (succeeded < kCalls && cycle % 2 == 0) job(L"JOB:", 0);
    if (succeeded < kCalls) run(succeeding);
    if (failed < kCalls) run(failing);
    if (failed < kCalls && cycle % 4 == 0) job(L"DEAD:", deadEnd);
  }
  const Figures after = take();
  EXPECT_EQ(0, problems);
  std::string figures;
  for (size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(before[i], after[i]) << kGauges[i];
    figures += std::string(i ? ", " : "") + kGauges[i] + " " + std::to_string(before[i]) + " -> " +
               std::to_string(after[i]);
  }
  EXPECT_EQ(std::optional<DWORD>(ExpectedChecksum({data, data})), ReadRecord(kJobPrinter.Name, kDocument));
  EXPECT_TRUE(dll.ClosePort(held));
  DeleteRecord(kJobPrinter.Name, kDocument);
  std::printf("leaks: %ld succeeding and %ld failing calls in %.1f s; %s\n", succeeded, failed,
              (GetTickCount64() - start) / 1000.0, figures.c_str());
}

// Defects of the locks and handles, each with the window that exposed it held
// open on purpose: the library's debugger message is held inside
// OutputDebugStringW (its import replaced), so the racing call always lands
// in the window. While alive, a library thread writing a message that starts
// with `prefix` stops there until Release().
class HeldMessage {
 public:
  HeldMessage(HMODULE module, const wchar_t* prefix)
      : Patch(module, "KERNEL32.dll", "OutputDebugStringW", reinterpret_cast<void*>(Output)) {
    Prefix = prefix;
    ResetEvent(Entered);
    ResetEvent(Released);
  }
  ~HeldMessage() { Release(); }
  bool Ok() const { return Patch.Ok(); }
  bool WaitEntered() { return WaitForSingleObject(Entered, 5000) == WAIT_OBJECT_0; }
  void Release() { SetEvent(Released); }

 private:
  static void WINAPI Output(LPCWSTR text) {
    if (Prefix && wcsncmp(text, Prefix, wcslen(Prefix)) == 0) {
      SetEvent(Entered);
      WaitForSingleObject(Released, 30000);
    }
    OutputDebugStringW(text);
  }
  static inline const wchar_t* Prefix = nullptr;
  static inline HANDLE Entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  static inline HANDLE Released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ImportPatch Patch;
};

BOOL Delete(const VardletModule& module, const wchar_t* name) {
  SetLastError(kSentinel);
  return module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(name));
}

// A port is not deleted while a call is still inside it (here ClosePort of a
// closed port, held at its message).
TEST_F(Load, PortIsNotDeletedWhileACallIsInsideIt) {
  Initialize({L"Busy:"});
  HANDLE port = Open(L"Busy:");
  ASSERT_TRUE(Module->ClosePort(port));
  HeldMessage held(Module.Handle(), L"CPort::Close(): port is not in use.");
  ASSERT_TRUE(held.Ok());
  auto closing = std::async(std::launch::async, [&] { return Module->ClosePort(port); });
  ASSERT_TRUE(held.WaitEntered());
  EXPECT_FALSE(Delete(Module, L"Busy:"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
  held.Release();
  EXPECT_TRUE(closing.get());
  EXPECT_TRUE(Delete(Module, L"Busy:")) << GetLastError();
}

// A port held in EndDocPort (as by a pass-through printer slow to take the
// end of a job), and a second OpenPort of it waiting: meanwhile the list is
// read, a port is added and deleted, another opened and closed; the second
// OpenPort still gets ERROR_BUSY.
TEST_F(Load, WaitingOpenPortDoesNotStallOtherPorts) {
  using namespace std::chrono_literals;
  Initialize({L"Slow:", L"Other:"});
  RealJob job(kJobPrinter.Name, L"Slow.txt");
  HANDLE slow = Open(L"Slow:"), other = nullptr;
  ASSERT_TRUE(Module->StartDocPort(slow, job.PrinterName(), job.Id(), 1, job.DocInfo()));
  HeldMessage held(Module.Handle(), L"Checksum: 0\n");  // the held job's
  ASSERT_TRUE(held.Ok());
  auto ending = std::async(std::launch::async, [&] { return Module->EndDocPort(slow); });
  ASSERT_TRUE(held.WaitEntered());
  auto second = std::async(std::launch::async, [&] {
    HANDLE handle = nullptr;
    SetLastError(kSentinel);
    return Module->OpenPort(const_cast<LPWSTR>(L"Slow:"), &handle) ? 0u : GetLastError();
  });
  second.wait_for(500ms);  // long enough for it to be waiting, if it waits
  auto others = std::async(std::launch::async, [&] {
    return PortNames().size() == 2 && AddPort(L"New:") && Delete(Module, L"New:") &&
           Module->OpenPort(const_cast<LPWSTR>(L"Other:"), &other) && Module->ClosePort(other);
  });
  EXPECT_EQ(std::future_status::ready, others.wait_for(5s)) << "other ports wait for the busy one";
  held.Release();
  EXPECT_TRUE(others.get());
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), second.get());
  EXPECT_TRUE(ending.get());
  EXPECT_TRUE(Module->ClosePort(slow));
}

// A port deleted after its job failed to start closes that job's printer.
TEST_F(Load, DeletedPortClosesItsFailedJobsPrinter) {
  Initialize();
  ASSERT_TRUE(AddPort(L"Gone:", kLevelFF, kMissingPrinter));
  RealJob job(kJobPrinter.Name, L"Gone.txt");
  const size_t before = OpenPrinterHandles();
  HANDLE port = Open(L"Gone:");
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->StartDocPort(port, job.PrinterName(), job.Id(), 1, job.DocInfo()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME), GetLastError());
  EXPECT_TRUE(Module->ClosePort(port));
  EXPECT_TRUE(Delete(Module, L"Gone:"));
  EXPECT_EQ(before, OpenPrinterHandles()) << "the job's printer was left open";
}

}  // namespace
}  // namespace vt

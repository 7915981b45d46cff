// The monitor under load and over time. Two additions of one name at once add
// it once. A busy spooler: job threads on ports of their own (half passing
// every job through to one printer), threads fighting over one port, threads
// adding, deleting and enumerating other ports, all at once; every record
// must equal the checksum computed alone, every loser of a fight must be told
// the port is busy, and no call may hang (a watchdog ends the run, naming
// the call). Then ten thousand succeeding and ten thousand failing calls must
// leave kernel handles, printer handles, heap blocks and the port list as
// they were. The figures printed are those of docs/reliability.md.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "import_patch.h"
#include "monitor_fixture.h"
#include "process_resources.h"
#ifdef VARDLET_CHECK_LOCK_ORDER
#include "monitor.h"
#endif

namespace vt {
namespace {

// Scale: 32-bit Wine may run under user emulation, many times slower.
constexpr bool kEmulated = sizeof(void*) == 4;
constexpr int kJobThreads = 8, kPassThroughThreads = 4, kJobsPerThread = kEmulated ? 20 : 50;
constexpr int kContenders = 3, kRounds = kEmulated ? 30 : 80, kAdminThreads = 2;
constexpr ULONGLONG kStuckAfterMs = kEmulated ? 300000 : 60000;
constexpr long kCalls = 10000;  // each way, for the leak count

std::string Text(const std::wstring& text) { return std::string(text.begin(), text.end()); }

using Load = MonitorTest;

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
  Names names = PortNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(60u, names.size());
  EXPECT_EQ(names.end(), std::adjacent_find(names.begin(), names.end()));
  EXPECT_EQ(60u, Subkeys(Root.Path()).size());
}

// A reusable meeting point of a fixed number of threads.
class Barrier {
 public:
  explicit Barrier(int parties) : Parties(parties) {}
  void Wait() {
    std::unique_lock<std::mutex> guard(Lock);
    if (++Arrived == Parties) return Arrived = 0, ++Generation, All.notify_all();
    All.wait(guard, [&, generation = Generation] { return generation != Generation; });
  }

 private:
  std::mutex Lock;
  std::condition_variable All;
  int Parties, Arrived = 0;
  unsigned Generation = 0;
};

struct Worker {
  std::string Name;
  std::atomic<const char*> Doing{"nothing"};  // the export being called
  std::atomic<ULONGLONG> Progress{GetTickCount64()};
  std::atomic<bool> Done{false};
  std::vector<std::string> Problems;
  std::vector<uint32_t> Checksums;  // of every job it finished
};

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

TEST_F(Load, JobsContentionAndAdministrationAtOnce) {
  Names jobPorts;
  for (int i = 0; i < kJobThreads; ++i) {
    jobPorts.push_back(L"STRESS" + std::to_wstring(i) + L":");
    ASSERT_EQ(ERROR_SUCCESS, i < kPassThroughThreads
                                 ? Root.AddPassThroughKey(jobPorts[i], kPassTargetPrinter.Name)
                                 : Root.AddPortKeys({jobPorts[i]}));
  }
  Initialize({L"CONTEND:"});
  Names fixedPorts = PortNames();
  std::vector<HANDLE> jobHandles;
  for (const std::wstring& port : jobPorts) jobHandles.push_back(Open(port.c_str()));
  const VardletExports& dll = Module.Get();
  std::vector<std::unique_ptr<Worker>> workers;
  auto worker = [&](const std::string& name) {
    workers.push_back(std::make_unique<Worker>());
    workers.back()->Name = name;
    return workers.back().get();
  };
  auto document = [](const std::string& kind, int i, int j) {
    return L"vt-stress\\" + std::wstring(kind.begin(), kind.end()) + std::to_wstring(i) + L"." +
           std::to_wstring(j);
  };
  for (int i = 0; i < kJobThreads; ++i)
    for (int j = 0; j < kJobsPerThread; ++j)
      ForgetRecord((i + j) % 2 ? kOtherJobPrinter.Name : kJobPrinter.Name, document("job", i, j));
  for (int round = 0; round < kRounds; ++round) ForgetRecord(kJobPrinter.Name, document("contend", 0, round));

  std::atomic<int> jobThreadsLeft{kJobThreads}, holders{0};
  std::atomic<int> winners[kRounds] = {};
  std::atomic<long> busyRefusals{0}, adds{0}, enumerations{0};
  Barrier barrier(kContenders);
  std::vector<std::thread> threads;
  const ULONGLONG start = GetTickCount64();
  for (int i = 0; i < kJobThreads; ++i) {
    threads.emplace_back([&, i, self = worker("job thread " + Text(jobPorts[i]))] {
      for (int j = 0; j < kJobsPerThread; ++j) {
        uint32_t seed = static_cast<uint32_t>(i * 1000 + j);
        Writes writes = MakeJob(seed, 1 + seed * 7919 % 48000, size_t{64} << (seed % 4 * 3));
        JobRun run = RunJob(dll, jobHandles[i], (i + j) % 2 ? kOtherJobPrinter.Name : kJobPrinter.Name,
                            document("job", i, j).c_str(), writes, &self->Doing);
        if (!run.Ok) self->Problems.push_back(run.Problem);
        self->Checksums.push_back(ExpectedChecksum(writes));
        self->Progress = GetTickCount64();
      }
      self->Done = true;
      --jobThreadsLeft;
    });
  }
  // Every round all contenders open the one port at the same moment: one
  // gets it and runs a job, every other one is told 170 (busy).
  for (int c = 0; c < kContenders; ++c) {
    threads.emplace_back([&, self = worker("contender " + std::to_string(c))] {
      for (int round = 0; round < kRounds; ++round) {
        barrier.Wait();
        HANDLE port = reinterpret_cast<HANDLE>(0x5a5a);
        self->Doing = "OpenPort";
        SetLastError(kSentinel);
        BOOL opened = dll.OpenPort(const_cast<LPWSTR>(L"CONTEND:"), &port);
        DWORD error = GetLastError();
        if (opened) {
          ++winners[round];
          if (holders++ != 0) self->Problems.push_back("two holders of one port");
          Writes writes = MakeJob(static_cast<uint32_t>(100000 + round), 3000, 1000);
          JobRun run = RunJob(dll, port, kJobPrinter.Name, document("contend", 0, round).c_str(), writes,
                              &self->Doing);
          if (!run.Ok) self->Problems.push_back(run.Problem);
          self->Checksums.push_back(ExpectedChecksum(writes));
        } else if (++busyRefusals, error != ERROR_BUSY || port != reinterpret_cast<HANDLE>(0x5a5a)) {
          self->Problems.push_back("OpenPort refused with " + std::to_string(error) +
                                   " and wrote the handle");
        }
        barrier.Wait();  // every open of this round has returned
        self->Doing = "ClosePort";
        if (opened && (--holders, !dll.ClosePort(port))) self->Problems.push_back("ClosePort failed");
        self->Doing = "nothing";
        self->Progress = GetTickCount64();
      }
      self->Done = true;
    });
  }
  // Ports come and go beside the jobs: added at both record levels, refused
  // as duplicates, opened, refused deletion while open, deleted. The job
  // ports, open all along, are never deletable.
  for (int a = 0; a < kAdminThreads; ++a) {
    threads.emplace_back([&, a, self = worker("administrator " + std::to_string(a))] {
      for (int n = 0; jobThreadsLeft > 0; ++n) {
        std::wstring name = L"ADM" + std::to_wstring(a) + L"-" + std::to_wstring(n) + L":", shouted = name;
        CharUpperW(shouted.data());
        std::wstring target = kPassTargetPrinter.Name, jobPort = jobPorts[n % kJobThreads];
        PortRecordFF record = {name.data(), static_cast<DWORD>((target.size() + 1) * 2),
                               reinterpret_cast<LPBYTE>(target.data())};
        PortRecordFF duplicate = {shouted.data(), 0, nullptr};
        HANDLE port = nullptr;
        const struct {
          const char* Call;
          std::function<BOOL()> Run;
          DWORD Error;  // 0: must succeed
        } steps[] = {
            {"AddPortExW",
             [&] {
               return dll.AddPortExW(nullptr, n % 2 ? 1 : kLevelFF, reinterpret_cast<LPBYTE>(&record),
                                     nullptr);
             },
             0},
            {"AddPortExW",
             [&] { return dll.AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&duplicate), nullptr); },
             ERROR_ALREADY_EXISTS},
            {"OpenPort", [&] { return dll.OpenPort(name.data(), &port); }, 0},
            {"DeletePortW", [&] { return dll.DeletePortW(nullptr, nullptr, name.data()); }, ERROR_BUSY},
            {"ClosePort", [&] { return dll.ClosePort(port); }, 0},
            {"DeletePortW", [&] { return dll.DeletePortW(nullptr, nullptr, name.data()); }, 0},
            {"DeletePortW", [&] { return dll.DeletePortW(nullptr, nullptr, name.data()); },
             ERROR_UNKNOWN_PORT},
            {"DeletePortW", [&] { return dll.DeletePortW(nullptr, nullptr, jobPort.data()); }, ERROR_BUSY},
        };
        for (const auto& step : steps) {
          self->Doing = step.Call;
          SetLastError(kSentinel);
          BOOL ok = step.Run();
          if (!ok != !!step.Error || (!ok && GetLastError() != step.Error))
            self->Problems.push_back(std::string(step.Call) + "(" + Text(name) + ") gave " +
                                     (ok ? "success" : std::to_string(GetLastError())));
        }
        ++adds;
        self->Doing = "nothing";
        self->Progress = GetTickCount64();
        Sleep(1);  // leave the two cores to the jobs now and then
      }
      self->Done = true;
    });
  }
  // The list as the spooler sees it meanwhile: the fixed ports always there.
  threads.emplace_back([&, self = worker("enumerator")] {
    while (jobThreadsLeft > 0) {
      DWORD needed = 0, returned = 0;
      self->Doing = "EnumPortsW";
      dll.EnumPortsW(nullptr, 1, nullptr, 0, &needed, &returned);
      std::vector<BYTE> buffer(needed + 4096);  // room for ports added meanwhile
      if (!dll.EnumPortsW(nullptr, 1, buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &returned))
        continue;
      const auto* records = reinterpret_cast<const PORT_INFO_1W*>(buffer.data());
      for (const std::wstring& port : fixedPorts) {
        auto found =
            std::find_if(records, records + returned, [&](const PORT_INFO_1W& r) { return port == r.pName; });
        if (found == records + returned) self->Problems.push_back("EnumPortsW left out " + Text(port));
      }
      ++enumerations;
      self->Doing = "nothing";
      self->Progress = GetTickCount64();
      Sleep(1);
    }
    self->Done = true;
  });
  // The watchdog: a hung call cannot be joined, so it ends the process.
  std::atomic<bool> joined{false};
  std::thread watchdog([&] {
    while (!joined) {
      Sleep(100);
      for (const auto& w : workers) {
        if (w->Done || GetTickCount64() - w->Progress < kStuckAfterMs) continue;
        std::string report = "watchdog: " + w->Name + " is stuck in " + w->Doing.load();
        for (const auto& other : workers)
          report += "\n  " + other->Name + ": " + (other->Done ? "done" : other->Doing.load());
        std::printf("[  FAILED  ] %s\n", report.c_str());
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
      }
    }
  });
  for (std::thread& thread : threads) thread.join();
  joined = true;
  watchdog.join();
  const double seconds = (GetTickCount64() - start) / 1000.0;

  size_t problems = 0;
  std::multiset<std::string> expected, said;
  for (const auto& w : workers) {
    for (const std::string& problem : w->Problems)
      if (++problems <= 20) ADD_FAILURE() << w->Name << ": " << problem;
    for (uint32_t checksum : w->Checksums) expected.insert(ChecksumMessage(checksum));
  }
  size_t violations = 0;
  for (const std::string& message : Debug.Messages()) {
    if (message.rfind("Checksum: ", 0) == 0) said.insert(message);
    if (message.rfind("Lock order violated", 0) == 0 && ++violations <= 5) ADD_FAILURE() << message;
  }
  EXPECT_EQ(0u, problems);
  for (int round = 0; round < kRounds; ++round) EXPECT_EQ(1, winners[round].load()) << "round " << round;
  EXPECT_EQ(kRounds * (kContenders - 1), busyRefusals.load());
  EXPECT_GT(adds.load() * enumerations.load(), 0);
  EXPECT_TRUE(expected == said) << "each finished job said its checksum once";
  for (HANDLE port : jobHandles) EXPECT_TRUE(Module->ClosePort(port));
  Names ports = PortNames(), keys = Subkeys(Root.Path());
  std::sort(ports.begin(), ports.end()), std::sort(keys.begin(), keys.end()),
      std::sort(fixedPorts.begin(), fixedPorts.end());
  EXPECT_EQ(fixedPorts, ports);
  EXPECT_EQ(fixedPorts, keys);
  std::printf(
      "stress: %d job threads x %d jobs (%d passing through to one printer) + %d threads contending for one "
      "port x %d rounds = %d jobs, %zu checksum messages\n",
      kJobThreads, kJobsPerThread, kPassThroughThreads, kContenders, kRounds,
      kJobThreads * kJobsPerThread + kRounds, said.size());
  std::printf(
      "stress: alongside, %d administrators: %ld ports added and deleted; 1 enumerator: %ld enumerations\n",
      kAdminThreads, adds.load(), enumerations.load());
  std::printf("stress: %zu problems, %ld busy refusals, %zu lock-order violations, %.1f s in all\n", problems,
              busyRefusals.load(), violations, seconds);
}

// No debugger-output capture here: its own memory would grow with the calls.
TEST(Leaks, TenThousandCallsEachWayLeaveNothingBehind) {
  MonitorRoot root;
  VardletModule module;
  const std::vector<HANDLE> heaps = NewHeaps({});
  ASSERT_TRUE(module.Load()) << module.Error();
  const std::vector<HANDLE> monitorHeaps = NewHeaps(heaps);  // the monitor's, with the library
  ASSERT_EQ(ERROR_SUCCESS, root.AddPortKeys({L"HELD:", L"PLAIN:", L"STUCK:", L"STUCK:\\child"}));
  ASSERT_EQ(ERROR_SUCCESS, root.AddPassThroughKey(L"JOB:", kPassTargetPrinter.Name));
  ASSERT_EQ(ERROR_SUCCESS, root.AddPassThroughKey(L"DEAD:", kDeadEndPrinter.Name));
  ASSERT_TRUE(module->InitializeMonitor(root.Arg()));
  std::vector<HANDLE> withMonitor = heaps;
  withMonitor.insert(withMonitor.end(), monitorHeaps.begin(), monitorHeaps.end());
  const std::vector<HANDLE> portHeaps = NewHeaps(withMonitor);  // the ports', with the first port
  ASSERT_EQ(1u, monitorHeaps.size());
  ASSERT_EQ(1u, portHeaps.size());
  DWORD deadEnd = 0;
  {
    RealJob direct(kDeadEndPrinter.Name, L"vt-leaks direct");
    ASSERT_FALSE(direct.End());
    deadEnd = GetLastError();
  }
  const VardletExports& dll = module.Get();
  HANDLE held = nullptr;
  ASSERT_TRUE(dll.OpenPort(const_cast<LPWSTR>(L"HELD:"), &held));
  const std::string data = "%!PS-Adobe-3.0\n(leak test) show % gone\n";
  const std::wstring longName(300, L'n');
  const wchar_t kDocument[] = L"vt-leaks document";
  BYTE buffer[4096];
  DWORD needed = 0, returned = 0;
  long succeeded = 0, failed = 0, problems = 0;
  auto expect = [&](const char* what, BOOL result, DWORD wantError) {
    DWORD error = GetLastError();
    if (!result != !!wantError || (!result && error != wantError)) {
      if (++problems <= 10)
        ADD_FAILURE() << what << ": " << (result ? 0 : error) << ", expected " << wantError;
    }
    ++(result ? succeeded : failed);
  };
  auto job = [&](const wchar_t* portName, DWORD endError) {
    HANDLE port = nullptr;
    expect("OpenPort", dll.OpenPort(const_cast<LPWSTR>(portName), &port), 0);
    RealJob real(kJobPrinter.Name, kDocument);
    expect("StartDocPort", dll.StartDocPort(port, real.PrinterName(), real.Id(), 1, real.DocInfo()), 0);
    for (int i = 0; i < 2; ++i)
      expect("WritePort", dll.WritePort(port, Bytes(data), static_cast<DWORD>(data.size()), &needed), 0);
    SetLastError(kSentinel);
    expect("EndDocPort", dll.EndDocPort(port), endError);
    expect("ClosePort", dll.ClosePort(port), 0);
  };
  auto succeeding = [&](bool withJob) {
    if (withJob) job(L"JOB:", 0);
    HANDLE port = nullptr;
    expect("OpenPort", dll.OpenPort(const_cast<LPWSTR>(L"PLAIN:"), &port), 0);
    expect("ClosePort", dll.ClosePort(port), 0);
    for (DWORD level : {DWORD{1}, kLevelFF}) {
      std::wstring target = kPassTargetPrinter.Name;
      PortRecordFF record = {const_cast<LPWSTR>(L"ADDED:"), static_cast<DWORD>((target.size() + 1) * 2),
                             reinterpret_cast<LPBYTE>(target.data())};
      expect("AddPortExW", dll.AddPortExW(nullptr, level, reinterpret_cast<LPBYTE>(&record), nullptr), 0);
      expect("DeletePortW", dll.DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"ADDED:")), 0);
    }
    expect("EnumPortsW", dll.EnumPortsW(nullptr, 1, buffer, sizeof buffer, &needed, &returned), 0);
  };
  auto failing = [&](bool withJob) {
    HANDLE port = nullptr;
    DWORD written = 0;
    SetLastError(kSentinel);
    expect("OpenPort unknown", dll.OpenPort(const_cast<LPWSTR>(L"NONE:"), &port), ERROR_UNKNOWN_PORT);
    expect("OpenPort held", dll.OpenPort(const_cast<LPWSTR>(L"HELD:"), &port), ERROR_BUSY);
    expect("ClosePort garbage", dll.ClosePort(buffer), ERROR_INVALID_HANDLE);
    expect("WritePort null", dll.WritePort(held, nullptr, 4, &written), ERROR_INVALID_PARAMETER);
    expect("StartDocPort missing printer",
           dll.StartDocPort(held, const_cast<LPWSTR>(kMissingPrinter), 1, 1, nullptr),
           ERROR_INVALID_PRINTER_NAME);
    expect("EnumPortsW size query", dll.EnumPortsW(nullptr, 1, nullptr, 0, &needed, &returned),
           ERROR_INSUFFICIENT_BUFFER);
    expect("EnumPortsW level 2", dll.EnumPortsW(nullptr, 2, buffer, sizeof buffer, &needed, &returned),
           ERROR_INVALID_LEVEL);
    for (auto [name, error] : {std::pair<const wchar_t*, DWORD>{L"plain:", ERROR_ALREADY_EXISTS},
                               {L"a,b", ERROR_INVALID_NAME},
                               {longName.c_str(), ERROR_INVALID_PARAMETER}}) {
      PORT_INFO_1W record = {const_cast<LPWSTR>(name)};
      expect("AddPortExW", dll.AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&record), nullptr), error);
    }
    for (auto [name, error] : {std::pair<const wchar_t*, DWORD>{L"NONE:", ERROR_UNKNOWN_PORT},
                               {L"HELD:", ERROR_BUSY},
                               {L"STUCK:", ERROR_ACCESS_DENIED}})
      expect("DeletePortW", dll.DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(name)), error);
    if (withJob) job(L"DEAD:", deadEnd);  // the pass-through printer refuses the end
  };
  struct Snapshot {
    size_t Handles, PrinterHandles;
    std::pair<size_t, size_t> MonitorHeap, PortHeap, ProcessHeap;
    DWORD PortBytes;
    bool operator==(const Snapshot& o) const {
      return std::tie(Handles, PrinterHandles, MonitorHeap, PortHeap, ProcessHeap, PortBytes) ==
             std::tie(o.Handles, o.PrinterHandles, o.MonitorHeap, o.PortHeap, o.ProcessHeap, o.PortBytes);
    }
  };
  auto take = [&] {
    DWORD bytes = 0, count = 0;
    dll.EnumPortsW(nullptr, 1, nullptr, 0, &bytes, &count);
    return Snapshot{OpenKernelHandles(),   OpenPrinterHandles(),      HeapUse(monitorHeaps[0]),
                    HeapUse(portHeaps[0]), HeapUse(GetProcessHeap()), bytes};
  };
  // The gauges see a single handle or block more.
  const Snapshot base = take();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr), printer = nullptr;
  ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(kJobPrinter.Name), &printer, nullptr));
  void* block = HeapAlloc(portHeaps[0], 0, 24);
  const Snapshot more = take();
  HeapFree(portHeaps[0], 0, block), ClosePrinter(printer), CloseHandle(event);
  EXPECT_EQ(base.Handles + 1, more.Handles);
  EXPECT_EQ(base.PrinterHandles + 1, more.PrinterHandles);
  EXPECT_EQ(base.PortHeap.first + 1, more.PortHeap.first);

  // Once of everything first, so that what the platform keeps for later
  // (its caches, the handles a failed job keeps until the next) is there
  // before the count starts.
  succeeding(true), failing(true);
  ASSERT_EQ(0, problems);
  const Snapshot before = take();
  succeeded = failed = 0;
  const ULONGLONG start = GetTickCount64();
  for (long cycle = 0; (succeeded < kCalls || failed < kCalls) && problems == 0; ++cycle) {
    if (succeeded < kCalls) succeeding(cycle % 2 == 0);
    if (failed < kCalls) failing(cycle % 4 == 0);
  }
  const Snapshot after = take();
  EXPECT_EQ(0, problems);
  EXPECT_TRUE(before == after) << "kernel handles " << before.Handles << " -> " << after.Handles
                               << ", printer handles " << before.PrinterHandles << " -> "
                               << after.PrinterHandles << ", monitor heap blocks " << before.MonitorHeap.first
                               << " -> " << after.MonitorHeap.first << ", port heap blocks "
                               << before.PortHeap.first << " -> " << after.PortHeap.first
                               << ", process heap bytes " << before.ProcessHeap.second << " -> "
                               << after.ProcessHeap.second << ", port list bytes " << before.PortBytes
                               << " -> " << after.PortBytes;
  EXPECT_EQ(std::optional<DWORD>(ExpectedChecksum({data, data})), ReadRecord(kJobPrinter.Name, kDocument));
  EXPECT_TRUE(dll.ClosePort(held));
  DeleteRecord(kJobPrinter.Name, kDocument);
  std::printf(
      "leaks: %ld succeeding and %ld failing calls in %.1f s; kernel handles %zu -> %zu, printer handles %zu "
      "-> %zu\n",
      succeeded, failed, (GetTickCount64() - start) / 1000.0, before.Handles, after.Handles,
      before.PrinterHandles, after.PrinterHandles);
  std::printf(
      "leaks: monitor heap %zu -> %zu blocks, port heap %zu -> %zu blocks, process heap %zu -> %zu bytes\n",
      before.MonitorHeap.first, after.MonitorHeap.first, before.PortHeap.first, after.PortHeap.first,
      before.ProcessHeap.second, after.ProcessHeap.second);
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

// A port held in EndDocPort, and a second OpenPort of it waiting: other
// ports are still opened, closed and deleted at once, and the second
// OpenPort still gets ERROR_BUSY.
TEST_F(Load, WaitingOpenPortDoesNotStallOtherPorts) {
  using namespace std::chrono_literals;
  Initialize({L"Slow:", L"Other:", L"Spare:"});
  RealJob job(kJobPrinter.Name, L"Slow.txt");
  HANDLE slow = Open(L"Slow:");
  ASSERT_TRUE(Module->StartDocPort(slow, job.PrinterName(), job.Id(), 1, job.DocInfo()));
  HeldMessage held(Module.Handle(), L"Checksum: ");
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
    HANDLE handle = nullptr;
    return Module->OpenPort(const_cast<LPWSTR>(L"Other:"), &handle) && Module->ClosePort(handle) &&
           Delete(Module, L"Spare:");
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

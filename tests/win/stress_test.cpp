// The monitor under load, as a busy spooler drives it: job threads on ports
// of their own (half of them passing every job through to one printer),
// threads that fight over one port, and threads that add, delete and
// enumerate other ports, all at once. Every finished job's record must equal
// the checksum computed alone for its bytes, the losers of every fight must
// be told the port is busy, and no call may hang: a watchdog ends the run,
// naming the call that does not come back.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "monitor_fixture.h"
#include "registry.h"
#ifdef VARDLET_CHECK_LOCK_ORDER
#include "monitor.h"
#endif
#include "reliability_support.h"
#include "test_printers.h"

namespace vt {
namespace {

// Scale: 32-bit Wine may run under user emulation, many times slower.
constexpr bool kEmulated = sizeof(void*) == 4;
constexpr int kJobThreads = 8;
constexpr int kPassThroughThreads = 4;  // the first ones pass through
constexpr int kJobsPerThread = kEmulated ? 20 : 50;
constexpr int kContenders = 3;
constexpr int kContentionRounds = kEmulated ? 30 : 80;
constexpr int kAdminThreads = 2;
constexpr ULONGLONG kStuckAfterMs = kEmulated ? 300000 : 60000;

const wchar_t kContendedPort[] = L"CONTEND:";
HANDLE const kUntouched = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5a5a5a5a));

// ---------------------------------------------------------------------------
// What every worker is doing right now, and the watchdog that reads it.

enum Call { kNoCall = -1, kOpenPort, kClosePort, kStartDocPort, kWritePort, kEndDocPort,
            kEnumPortsW, kAddPortExW, kDeletePortW, kCallCount };
const char* const kCallNames[kCallCount] = {"OpenPort", "ClosePort", "StartDocPort", "WritePort",
                                            "EndDocPort", "EnumPortsW", "AddPortExW",
                                            "DeletePortW"};

struct Activity {
  std::string Worker;                  // fixed before the threads start
  std::atomic<int> Current{kNoCall};   // export being called
  std::atomic<ULONGLONG> Since{0};     // when that call (or the last one) began
  std::atomic<ULONGLONG> Progress{0};  // when the worker last finished a unit of work
  std::atomic<bool> Done{false};
  std::atomic<const wchar_t*> Port{nullptr};  // the port named in the current call
  std::vector<float> CallMs[kCallCount];  // how long each of its calls took
  std::vector<std::string> Problems;
  std::vector<DWORD> Checksums;        // expected checksum of every job it finished
};

std::string Text(const wchar_t* text) { return text ? std::string(text, text + wcslen(text)) : ""; }
std::string Text(const std::wstring& text) { return Text(text.c_str()); }

class Watchdog {
 public:
  using Report = std::function<void(const std::string&)>;

  Watchdog(std::vector<Activity*> activities, ULONGLONG limitMs, Report report)
      : Activities(std::move(activities)), LimitMs(limitMs), OnStuck(std::move(report)),
        Thread([this] { Watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> guard(Lock);
      Stop = true;
    }
    Wake.notify_all();
    Thread.join();
  }

  // Ends the process: a hung call cannot be joined, so the test cannot end.
  static void Abort(const std::string& text) {
    std::fprintf(stderr, "[  FAILED  ] %s\n", text.c_str());
    std::printf("[  FAILED  ] %s\n", text.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> guard(Lock);
    while (!Wake.wait_for(guard, std::chrono::milliseconds(50), [this] { return Stop; })) {
      ULONGLONG now = GetTickCount64();
      std::string stuck;
      for (Activity* activity : Activities) {
        if (activity->Done) continue;
        int call = activity->Current;
        ULONGLONG since = call != kNoCall ? activity->Since.load() : activity->Progress.load();
        if (since == 0 || now < since || now - since < LimitMs) continue;
        stuck = "watchdog: " + activity->Worker + " has been " +
                (call != kNoCall ? std::string("in ") + kCallNames[call] + "(" + Text(activity->Port) + ")"
                                 : std::string("without progress outside the monitor")) +
                " for " + std::to_string((now - since) / 1000) + " s";
        break;
      }
      if (stuck.empty()) continue;
      for (Activity* activity : Activities) {
        int call = activity->Current;
        stuck += "\n  " + activity->Worker + ": " +
                 (activity->Done ? "done"
                  : call != kNoCall ? std::string("in ") + kCallNames[call]
                                    : std::string("between calls"));
      }
      OnStuck(stuck);
      return;
    }
  }

  std::vector<Activity*> Activities;
  ULONGLONG LimitMs;
  Report OnStuck;
  std::mutex Lock;
  std::condition_variable Wake;
  bool Stop = false;
  std::thread Thread;
};

// Every export call of a worker goes through these, so the watchdog can name
// it. The thread's last error is the export's, untouched by the bookkeeping.
const VardletExports* gExports = nullptr;
thread_local Activity* tActivity = nullptr;

class Tracked {
 public:
  Tracked(Call call, const wchar_t* port) : Which(call) {
    if (!tActivity) return;
    tActivity->Port = port;
    tActivity->Since = GetTickCount64();
    tActivity->Current = call;
    QueryPerformanceCounter(&Start);
  }
  ~Tracked() {
    DWORD error = GetLastError();
    if (tActivity) {
      LARGE_INTEGER end, frequency;
      QueryPerformanceCounter(&end);
      QueryPerformanceFrequency(&frequency);
      double ms = 1000.0 * (end.QuadPart - Start.QuadPart) / frequency.QuadPart;
      tActivity->CallMs[Which].push_back(static_cast<float>(ms));
      tActivity->Current = kNoCall;
    }
    SetLastError(error);
  }

 private:
  Call Which;
  LARGE_INTEGER Start{};
};

BOOL WINAPI TrackedOpenPort(LPWSTR name, PHANDLE handle) {
  Tracked call(kOpenPort, name);
  return gExports->OpenPort(name, handle);
}
BOOL WINAPI TrackedClosePort(HANDLE port) {
  Tracked call(kClosePort, nullptr);
  return gExports->ClosePort(port);
}
BOOL WINAPI TrackedStartDocPort(HANDLE port, LPWSTR printer, DWORD job, DWORD level, LPBYTE doc) {
  Tracked call(kStartDocPort, nullptr);
  return gExports->StartDocPort(port, printer, job, level, doc);
}
BOOL WINAPI TrackedWritePort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD written) {
  Tracked call(kWritePort, nullptr);
  return gExports->WritePort(port, buffer, size, written);
}
BOOL WINAPI TrackedEndDocPort(HANDLE port) {
  Tracked call(kEndDocPort, nullptr);
  return gExports->EndDocPort(port);
}
BOOL WINAPI TrackedEnumPortsW(LPWSTR server, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                              LPDWORD returned) {
  Tracked call(kEnumPortsW, nullptr);
  return gExports->EnumPortsW(server, level, buffer, size, needed, returned);
}
BOOL WINAPI TrackedAddPortExW(LPWSTR server, DWORD level, LPBYTE record, LPWSTR monitor) {
  Tracked call(kAddPortExW, level == 1 || level == kLevelFF
                                ? *reinterpret_cast<LPWSTR*>(record) : nullptr);
  return gExports->AddPortExW(server, level, record, monitor);
}
BOOL WINAPI TrackedDeletePortW(LPWSTR server, HWND window, LPWSTR name) {
  Tracked call(kDeletePortW, name);
  return gExports->DeletePortW(server, window, name);
}

VardletExports TrackedExports(const VardletExports& real) {
  gExports = &real;
  VardletExports tracked = real;
  tracked.OpenPort = TrackedOpenPort;
  tracked.ClosePort = TrackedClosePort;
  tracked.StartDocPort = TrackedStartDocPort;
  tracked.WritePort = TrackedWritePort;
  tracked.EndDocPort = TrackedEndDocPort;
  tracked.EnumPortsW = TrackedEnumPortsW;
  tracked.AddPortExW = TrackedAddPortExW;
  tracked.DeletePortW = TrackedDeletePortW;
  return tracked;
}

// A reusable meeting point for the contenders.
class Barrier {
 public:
  explicit Barrier(int parties) : Parties(parties) {}
  void Wait() {
    std::unique_lock<std::mutex> guard(Lock);
    unsigned generation = Generation;
    if (++Arrived == Parties) {
      Arrived = 0;
      ++Generation;
      All.notify_all();
      return;
    }
    All.wait(guard, [&] { return generation != Generation; });
  }

 private:
  std::mutex Lock;
  std::condition_variable All;
  int Parties;
  int Arrived = 0;
  unsigned Generation = 0;
};

std::string Failed(const char* call, const std::wstring& port, DWORD error) {
  return std::string(call) + "(" + Text(port) + ") failed with " + std::to_string(error);
}

// Port names as EnumPortsW gives them; a list that grew between the size
// query and the fetch is fetched again.
bool Enumerate(const VardletExports& dll, std::vector<std::wstring>& names, std::string& problem) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    DWORD needed = 0, returned = 0;
    if (dll.EnumPortsW(nullptr, 1, nullptr, 0, &needed, &returned) || needed == 0) {
      problem = "EnumPortsW size query succeeded on a list that cannot be empty";
      return false;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      problem = "EnumPortsW size query failed with " + std::to_string(GetLastError());
      return false;
    }
    std::vector<BYTE> buffer(needed);
    if (!dll.EnumPortsW(nullptr, 1, buffer.data(), needed, &needed, &returned)) {
      if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) continue;
      problem = "EnumPortsW failed with " + std::to_string(GetLastError());
      return false;
    }
    names.clear();
    const auto* records = reinterpret_cast<const PORT_INFO_1W*>(buffer.data());
    for (DWORD i = 0; i < returned; ++i) {
      const BYTE* name = reinterpret_cast<const BYTE*>(records[i].pName);
      // A list that shrank since the size query still fills the buffer to
      // its end.
      if (name < buffer.data() + returned * sizeof(PORT_INFO_1W) ||
          name >= buffer.data() + buffer.size()) {
        problem = "EnumPortsW gave a name outside its buffer";
        return false;
      }
      names.emplace_back(records[i].pName);
    }
    return true;
  }
  problem = "EnumPortsW kept needing more room";
  return false;
}

class Stress : public MonitorTest {
 protected:
  void TearDown() override {
    for (const auto& record : Records) DeleteRecord(record.first, record.second);
    MonitorTest::TearDown();
  }

  std::vector<std::pair<std::wstring, std::wstring>> Records;  // (printer, document) written
};

TEST(Watchdog, NamesTheCallThatDoesNotComeBack) {
  Activity busy, stuck;
  busy.Worker = "busy worker";
  busy.Progress = GetTickCount64();
  stuck.Worker = "stuck worker";
  stuck.Port = L"STUCK:";
  stuck.Since = GetTickCount64();
  stuck.Current = kWritePort;
  std::atomic<bool> reported{false};
  std::string report;
  {
    Watchdog watchdog({&busy, &stuck}, 200, [&](const std::string& text) {
      report = text;
      reported = true;
    });
    for (int i = 0; i < 100 && !reported; ++i) {
      busy.Progress = GetTickCount64();
      Sleep(20);
    }
  }
  ASSERT_TRUE(reported);
  EXPECT_NE(std::string::npos, report.find("stuck worker has been in WritePort(STUCK:)")) << report;
  EXPECT_NE(std::string::npos, report.find("busy worker: between calls")) << report;
}

#ifdef VARDLET_CHECK_LOCK_ORDER
constexpr bool kLockOrderChecked = true;

// The lock-order check itself, on the library's classes linked into this
// program: the allowed order is silent, each kind of violation is named.
struct ExposedMonitor : CMonitor {
  ExposedMonitor() : CMonitor(nullptr) {}
  using CMonitor::EnterMutex;
  using CMonitor::LeaveMutex;
};
struct ExposedPort : CPort {
  explicit ExposedPort(CMonitor* monitor) : CPort(monitor, L"X:") {}
  using CPort::EnterMutex;
  using CPort::LeaveMutex;
};

TEST(LockOrder, ViolationsAreNamedOnTheDebuggerOutput) {
  DebugOutput debug;
  ASSERT_TRUE(debug.IsListening()) << debug.Error();
  ExposedMonitor monitor;
  ExposedPort first(&monitor), second(&monitor);
  monitor.EnterMutex();
  first.EnterMutex();
  monitor.EnterMutex();  // again: it is held already
  first.EnterMutex();
  first.LeaveMutex();
  monitor.LeaveMutex();
  first.LeaveMutex();
  second.EnterMutex();
  second.LeaveMutex();
  monitor.LeaveMutex();
  EXPECT_EQ(std::vector<std::string>{}, debug.Messages());

  first.EnterMutex();
  monitor.EnterMutex();
  monitor.LeaveMutex();
  second.EnterMutex();
  second.LeaveMutex();
  first.LeaveMutex();
  EXPECT_EQ((std::vector<std::string>{
                "Lock order violated: monitor mutex taken while a port mutex is held.\n",
                "Lock order violated: a second port's mutex taken.\n"}),
            debug.Messages());
}
#else
constexpr bool kLockOrderChecked = false;
#endif

TEST_F(Stress, JobsContentionAndAdministrationAtOnce) {
  // Job ports, the first ones passing through to one printer; the settings
  // come from the registry, as after a restart of the spooler.
  std::vector<std::wstring> jobPorts;
  for (int i = 0; i < kJobThreads; ++i) {
    jobPorts.push_back(L"STRESS" + std::to_wstring(i) + L":");
    ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({jobPorts.back()}));
    if (i < kPassThroughThreads) {
      ASSERT_EQ(ERROR_SUCCESS, WriteDword(HKEY_LOCAL_MACHINE, Root.Child(jobPorts.back()), L"Print", 1));
      ASSERT_EQ(ERROR_SUCCESS, WriteString(HKEY_LOCAL_MACHINE, Root.Child(jobPorts.back()),
                                           L"Print To", kPassTargetPrinter.Name));
    }
  }
  Initialize({kContendedPort});
  std::vector<std::wstring> fixedPorts = PortNames();
  ASSERT_EQ(static_cast<size_t>(kJobThreads + 1), fixedPorts.size());

  std::vector<HANDLE> jobHandles;
  for (const std::wstring& port : jobPorts) jobHandles.push_back(Open(port.c_str()));

  const VardletExports dll = TrackedExports(Module.Get());
  std::vector<std::unique_ptr<Activity>> activities;
  auto newActivity = [&](const std::string& name) {
    activities.push_back(std::make_unique<Activity>());
    activities.back()->Worker = name;
    activities.back()->Progress = GetTickCount64();
    return activities.back().get();
  };

  std::vector<std::wstring> documents[kJobThreads];
  for (int i = 0; i < kJobThreads; ++i) {
    for (int j = 0; j < kJobsPerThread; ++j) {
      const wchar_t* printer = (i + j) % 2 ? kOtherJobPrinter.Name : kJobPrinter.Name;
      documents[i].push_back(L"vt-stress\\" + std::to_wstring(i) + L"." + std::to_wstring(j));
      Records.emplace_back(printer, documents[i].back());
    }
  }
  for (int round = 0; round < kContentionRounds; ++round)
    Records.emplace_back(kJobPrinter.Name, L"vt-contend\\" + std::to_wstring(round));

  std::atomic<int> jobThreadsLeft{kJobThreads};
  std::atomic<int> winners[kContentionRounds] = {};
  std::atomic<int> holders{0};
  std::atomic<long> busyRefusals{0}, adds{0}, deletes{0}, enumerations{0};
  Barrier barrier(kContenders);
  std::vector<std::thread> threads;

  LARGE_INTEGER start, end, frequency;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  {
    std::vector<Activity*> watched;
    for (int i = 0; i < kJobThreads; ++i)
      watched.push_back(newActivity("job thread " + std::to_string(i) + " (" + Text(jobPorts[i]) + ")"));
    for (int c = 0; c < kContenders; ++c)
      watched.push_back(newActivity("contender " + std::to_string(c)));
    for (int a = 0; a < kAdminThreads; ++a)
      watched.push_back(newActivity("administrator " + std::to_string(a)));
    watched.push_back(newActivity("enumerator"));
    Watchdog watchdog(watched, kStuckAfterMs, Watchdog::Abort);

    for (int i = 0; i < kJobThreads; ++i) {
      threads.emplace_back([&, i, self = watched[i]] {
        tActivity = self;
        for (int j = 0; j < kJobsPerThread; ++j) {
          const wchar_t* printer = (i + j) % 2 ? kOtherJobPrinter.Name : kJobPrinter.Name;
          uint32_t seed = static_cast<uint32_t>(i * 1000 + j);
          Writes writes = MakeJob(seed, 1 + seed * 7919 % 48000, size_t{64} << (seed % 4 * 3));
          JobRun run = RunCheckedJob(dll, jobHandles[i], printer, documents[i][j].c_str(), writes);
          if (!run.Ok) self->Problems.push_back(run.Problem);
          self->Checksums.push_back(ExpectedChecksum(writes));
          self->Progress = GetTickCount64();
        }
        self->Done = true;
        --jobThreadsLeft;
      });
    }

    // Every round, all contenders open the one port at the same moment:
    // exactly one gets it and runs a job, every other one is told 170.
    for (int c = 0; c < kContenders; ++c) {
      threads.emplace_back([&, c, self = watched[kJobThreads + c]] {
        tActivity = self;
        for (int round = 0; round < kContentionRounds; ++round) {
          barrier.Wait();
          HANDLE port = kUntouched;
          SetLastError(kSentinel);
          BOOL opened = dll.OpenPort(const_cast<LPWSTR>(kContendedPort), &port);
          DWORD error = GetLastError();
          if (opened) {
            ++winners[round];
            if (holders.fetch_add(1) != 0) self->Problems.push_back("two holders of one port");
            std::wstring document = L"vt-contend\\" + std::to_wstring(round);
            Writes writes = MakeJob(static_cast<uint32_t>(100000 + round), 3000, 1000);
            JobRun run = RunCheckedJob(dll, port, kJobPrinter.Name, document.c_str(), writes);
            if (!run.Ok) self->Problems.push_back(run.Problem);
            self->Checksums.push_back(ExpectedChecksum(writes));
          } else {
            ++busyRefusals;
            if (error != ERROR_BUSY) self->Problems.push_back(Failed("OpenPort", kContendedPort, error));
            if (port != kUntouched) self->Problems.push_back("a refused OpenPort wrote the handle");
          }
          barrier.Wait();  // every open of this round has returned
          if (opened) {
            --holders;
            if (!dll.ClosePort(port)) self->Problems.push_back(Failed("ClosePort", kContendedPort, GetLastError()));
          }
          self->Progress = GetTickCount64();
        }
        self->Done = true;
      });
    }

    // Ports come and go beside the jobs: added at both record levels (one
    // with a pass-through printer), refused as duplicates, opened, refused
    // deletion while open, deleted. The job ports, open all along, are never
    // deletable.
    for (int a = 0; a < kAdminThreads; ++a) {
      threads.emplace_back([&, a, self = watched[kJobThreads + kContenders + a]] {
        tActivity = self;
        auto expect = [&](BOOL result, bool want, DWORD wantError, const char* call,
                          const std::wstring& port) {
          DWORD error = GetLastError();
          if (!!result != want || (!want && error != wantError))
            self->Problems.push_back(Failed(call, port, result ? 0 : error) + " (expected " +
                                     (want ? "success" : std::to_string(wantError)) + ")");
        };
        for (int n = 0; jobThreadsLeft > 0; ++n) {
          std::wstring name = L"ADM" + std::to_wstring(a) + L"-" + std::to_wstring(n) + L":";
          std::wstring shouted = name;
          CharUpperW(shouted.data());
          std::wstring target = kPassTargetPrinter.Name;
          PortRecordFF record = {name.data(), static_cast<DWORD>((target.size() + 1) * 2),
                                 reinterpret_cast<LPBYTE>(target.data())};
          PortRecordFF duplicate = {shouted.data(), 0, nullptr};
          DWORD level = n % 2 ? 1 : kLevelFF;
          SetLastError(kSentinel);
          expect(dll.AddPortExW(nullptr, level, reinterpret_cast<LPBYTE>(&record), nullptr), true, 0,
                 "AddPortExW", name);
          SetLastError(kSentinel);
          expect(dll.AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&duplicate), nullptr), false,
                 ERROR_ALREADY_EXISTS, "AddPortExW", shouted);
          HANDLE port = nullptr;
          SetLastError(kSentinel);
          expect(dll.OpenPort(name.data(), &port), true, 0, "OpenPort", name);
          SetLastError(kSentinel);
          expect(dll.DeletePortW(nullptr, nullptr, name.data()), false, ERROR_BUSY, "DeletePortW", name);
          SetLastError(kSentinel);
          expect(dll.ClosePort(port), true, 0, "ClosePort", name);
          SetLastError(kSentinel);
          expect(dll.DeletePortW(nullptr, nullptr, name.data()), true, 0, "DeletePortW", name);
          SetLastError(kSentinel);
          expect(dll.DeletePortW(nullptr, nullptr, name.data()), false, ERROR_UNKNOWN_PORT,
                 "DeletePortW", name);
          std::wstring jobPort = jobPorts[n % kJobThreads];
          SetLastError(kSentinel);
          expect(dll.DeletePortW(nullptr, nullptr, jobPort.data()), false, ERROR_BUSY, "DeletePortW",
                 jobPort);
          ++adds;
          ++deletes;
          self->Progress = GetTickCount64();
          Sleep(1);  // leave the two cores to the jobs now and then
        }
        self->Done = true;
      });
    }

    // The list as the spooler sees it while all that happens: the fixed
    // ports are always there, whatever else comes and goes.
    threads.emplace_back([&, self = watched.back()] {
      tActivity = self;
      std::vector<std::wstring> names;
      while (jobThreadsLeft > 0) {
        std::string problem;
        if (!Enumerate(dll, names, problem)) {
          self->Problems.push_back(problem);
          break;
        }
        for (const std::wstring& port : fixedPorts) {
          if (std::find(names.begin(), names.end(), port) == names.end())
            self->Problems.push_back("EnumPortsW left out " + Text(port));
        }
        ++enumerations;
        self->Progress = GetTickCount64();
        Sleep(1);
      }
      self->Done = true;
    });

    for (std::thread& thread : threads) thread.join();
  }
  QueryPerformanceCounter(&end);
  double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;

  size_t problems = 0;
  std::multiset<std::string> expectedMessages;
  std::vector<float> callMs[kCallCount];
  for (const auto& activity : activities) {
    for (const std::string& problem : activity->Problems) {
      if (++problems <= 20) ADD_FAILURE() << activity->Worker << ": " << problem;
    }
    for (DWORD checksum : activity->Checksums)
      expectedMessages.insert("Checksum: " + std::to_string(checksum) + "\n");
    for (int call = 0; call < kCallCount; ++call)
      callMs[call].insert(callMs[call].end(), activity->CallMs[call].begin(), activity->CallMs[call].end());
  }
  EXPECT_EQ(0u, problems);
  for (int round = 0; round < kContentionRounds; ++round)
    EXPECT_EQ(1, winners[round].load()) << "round " << round;
  EXPECT_EQ(static_cast<long>(kContentionRounds * (kContenders - 1)), busyRefusals.load());
  EXPECT_GT(adds.load(), 0);
  EXPECT_GT(enumerations.load(), 0);

  // Every finished job said its checksum on the debugger output, once; in a
  // build with the lock-order check, nothing took its locks out of order.
  std::multiset<std::string> checksumMessages;
  size_t lockOrderViolations = 0;
  for (const std::string& message : Debug.Messages()) {
    if (message.rfind("Checksum: ", 0) == 0) checksumMessages.insert(message);
    if (message.rfind("Lock order violated", 0) == 0 && ++lockOrderViolations <= 5)
      ADD_FAILURE() << message;
  }
  EXPECT_EQ(0u, lockOrderViolations);
  EXPECT_EQ(expectedMessages.size(), checksumMessages.size());
  EXPECT_TRUE(expectedMessages == checksumMessages);

  // Nothing left behind by the administrators.
  for (HANDLE port : jobHandles) {
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->ClosePort(port));
  }
  std::vector<std::wstring> after = PortNames();
  std::sort(after.begin(), after.end());
  std::sort(fixedPorts.begin(), fixedPorts.end());
  EXPECT_EQ(fixedPorts, after);
  std::vector<std::wstring> keys = Subkeys(HKEY_LOCAL_MACHINE, Root.Path());
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(fixedPorts, keys);

  // The figures of docs/reliability.md.
  const int jobs = kJobThreads * kJobsPerThread + kContentionRounds;
  std::printf("stress: %d job threads x %d jobs (%d threads passing through to one printer) + "
              "%d threads contending for one port x %d rounds = %d jobs, %zu checksum messages\n",
              kJobThreads, kJobsPerThread, kPassThroughThreads, kContenders, kContentionRounds, jobs,
              checksumMessages.size());
  std::printf("stress: alongside, %d administrators: %ld ports added and deleted; "
              "1 enumerator: %ld enumerations\n",
              kAdminThreads, adds.load(), enumerations.load());
  std::printf("stress: %zu problems, %ld busy refusals, %.1f s in all\n", problems,
              busyRefusals.load(), seconds);
  // How long the calls took: the monitor mutex is held while port mutexes
  // are awaited, and those are held across whole job calls, so enumerations,
  // additions and opens wait for the jobs in progress.
  std::printf("stress: call times in ms (median / 99th percentile / longest):\n");
  for (int call = 0; call < kCallCount; ++call) {
    std::vector<float>& times = callMs[call];
    if (times.empty()) continue;
    std::sort(times.begin(), times.end());
    std::printf("stress:   %-12s %6zu calls %8.1f %8.1f %8.1f\n", kCallNames[call], times.size(),
                times[times.size() / 2], times[times.size() * 99 / 100], times.back());
  }
  std::printf("stress: lock-order check %s, %zu violations\n",
              kLockOrderChecked ? "built in" : "not built in (VARDLET_CHECK_LOCK_ORDER=OFF)",
              lockOrderViolations);
  RecordProperty("jobs", jobs);
  RecordProperty("seconds", static_cast<int>(seconds + 0.5));
}

}  // namespace
}  // namespace vt

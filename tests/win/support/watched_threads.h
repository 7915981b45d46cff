// Threads under a watchdog, for the tests that load the monitor from many
// threads at once. A hung call cannot be joined, so a run that is not over in
// time ends the process, naming what each thread is doing.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace vt {

struct Worker {
  std::string Name;
  std::function<bool(Worker&, int)> Step;  // called with n = 0, 1, ... until it returns false
  std::atomic<const char*> Doing{"nothing"};  // the call being made, for the watchdog
  std::vector<std::string> Problems;
};

inline void RunWatched(std::deque<Worker>& workers, ULONGLONG limitMs) {
  std::atomic<size_t> running{workers.size()};
  std::vector<std::thread> threads;
  for (Worker& w : workers)
    threads.emplace_back([&w, &running] {
      for (int n = 0; w.Step(w, n); ++n) w.Doing = "nothing";
      w.Doing = "done", --running;
    });
  for (const ULONGLONG start = GetTickCount64(); running > 0; Sleep(100)) {
    if (GetTickCount64() - start < limitMs) continue;
    std::string report = "watchdog: still running after " + std::to_string(limitMs / 1000) + " s";
    for (const Worker& w : workers) report += "\n  " + w.Name + ": " + w.Doing.load();
    std::printf("[  FAILED  ] %s\n", report.c_str());
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace vt

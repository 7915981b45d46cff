// Throughput of the checksum engine on 64 MiB jobs, each next to a memcpy of
// the same amount measured in the same run.
//
// Counters: GBps (10^9 bytes per second of thread CPU time), memcpy_GBps,
// vs_memcpy (engine speed divided by memcpy speed), and for PostScript the
// share of bytes left out as comments.
//
//   build/native/bench/csumstream_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "csumstream.h"

namespace {

const size_t kJobSize = size_t(64) << 20;
const size_t kWriteSize = 4096;

// Random bytes; the header never forms (checked, and broken up if it did).
const std::string& RandomJob()
{
    static const std::string job = [] {
        std::mt19937_64 rng(7);
        std::string s(kJobSize, '\0');
        for (size_t i = 0; i + 8 <= s.size(); i += 8) {
            const uint64_t v = rng();
            memcpy(&s[i], &v, 8);
        }
        for (size_t at; (at = s.find("%!PS-Adobe")) != std::string::npos;)
            s[at] = ' ';
        return s;
    }();
    return job;
}

// PostScript text in which about a third of the bytes are comments: drawing
// and text operators, strings with escapes, comment lines and a few
// comments after code.
const std::string& PostscriptJob()
{
    static const std::string job = [] {
        std::mt19937 rng(11);
        auto num = [&] { return std::to_string(rng() % 800) + "." + std::to_string(rng() % 100); };
        static const char* const words[] = {"Lorem", "ipsum", "dolor", "sit", "amet",
                                            "page", "total", "(see below)", "50%",
                                            "C:\\\\spool", "\\(note\\)", "x\\\\y", "\\)"};
        auto text = [&] {
            std::string t;
            for (int n = 2 + rng() % 8; n > 0; n--)
                t += std::string(words[rng() % 13]) + " ";
            return t;
        };
        std::string s = "%!PS-Adobe-3.0\n%%Creator: bench\n%%Pages: (atend)\n%%EndComments\n";
        size_t commentBytes = s.size();
        while (s.size() < kJobSize) {
            std::string line;
            size_t comment = 0;
            const bool wantComment = commentBytes * 3 < s.size();
            switch (rng() % (wantComment ? 2 : 6) + (wantComment ? 0 : 2)) {
            case 0:
                line = "%%BeginFeature: *PageSize Letter " + num() + " " + num() + "\n";
                comment = line.size();
                break;
            case 1:
                line = "% " + text() + text() + "\n";
                comment = line.size();
                break;
            case 2:
                line = num() + " " + num() + " moveto (" + text() + ") show\n";
                break;
            case 3:
                line = "gsave " + num() + " " + num() + " translate 0 0 " + num() +
                       " 0 360 arc fill grestore\n";
                break;
            case 4:
                line = "/F1 " + num() + " selectfont " + num() + " " + num() + " lineto stroke";
                comment = 20 + rng() % 20;
                line += " % " + std::string(comment - 4, 'c') + "\n";
                break;
            default:
                line = "[(" + text() + ") (" + text() + ")] { show } forall\n";
                break;
            }
            s += line;
            commentBytes += comment;
        }
        s.resize(kJobSize);
        return s;
    }();
    return job;
}

// CPU time of this thread: the machine is shared, and the engine and memcpy
// are timed back to back so that both see the same conditions.
double ThreadSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// Times one pass of `pass` over the job and, untimed for the framework, one
// memcpy of the same bytes.
template <class Pass>
void Measure(benchmark::State& state, const std::string& job, Pass pass)
{
    std::vector<char> dst(job.size(), 1);
    double passSeconds = 0, memcpySeconds = 0;
    for (auto _ : state) {
        const double t0 = ThreadSeconds();
        pass();
        const double t1 = ThreadSeconds();
        state.PauseTiming();
        const double t2 = ThreadSeconds();
        memcpy(dst.data(), job.data(), job.size());
        benchmark::ClobberMemory();
        memcpySeconds += ThreadSeconds() - t2;
        state.ResumeTiming();
        passSeconds += t1 - t0;
    }
    const double bytes = (double)state.iterations() * (double)job.size();
    state.SetBytesProcessed((int64_t)bytes);
    state.counters["GBps"] = bytes / passSeconds / 1e9;
    state.counters["memcpy_GBps"] = bytes / memcpySeconds / 1e9;
    state.counters["vs_memcpy"] = memcpySeconds / passSeconds;
}

void RunJob(benchmark::State& state, const std::string& job, size_t writeSize)
{
    const uint8_t* data = reinterpret_cast<const uint8_t*>(job.data());
    Measure(state, job, [&] {
        CChecksumStream s;
        for (size_t at = 0; at < job.size(); at += writeSize)
            s.Write(data + at, (uint32_t)std::min(writeSize, job.size() - at));
        benchmark::DoNotOptimize(s.Finish());
    });
}

void BM_Memcpy(benchmark::State& state)
{
    const std::string& src = RandomJob();
    std::vector<char> dst(src.size(), 1);
    Measure(state, src, [&] {
        memcpy(dst.data(), src.data(), src.size());
        benchmark::ClobberMemory();
    });
}

void BM_RandomOneWrite(benchmark::State& state) { RunJob(state, RandomJob(), kJobSize); }

void BM_RandomWrites4K(benchmark::State& state) { RunJob(state, RandomJob(), kWriteSize); }

void BM_PostscriptOneWrite(benchmark::State& state)
{
    RunJob(state, PostscriptJob(), kJobSize);
    size_t counted = 0;
    CChecksumStream s;
    s.pCountedContext = &counted;
    s.pfnCounted = [](void* ctx, const uint8_t*, size_t n) { *static_cast<size_t*>(ctx) += n; };
    s.Write(reinterpret_cast<const uint8_t*>(PostscriptJob().data()), (uint32_t)kJobSize);
    state.counters["comment_share"] = 1.0 - (double)counted / (double)kJobSize;
}

void BM_PostscriptWrites4K(benchmark::State& state)
{
    RunJob(state, PostscriptJob(), kWriteSize);
}

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RandomOneWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RandomWrites4K)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostscriptOneWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostscriptWrites4K)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

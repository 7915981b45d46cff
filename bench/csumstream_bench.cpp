// Throughput of the checksum engine on 64 MiB jobs, as ratios to two
// baselines timed in the same iterations: memcpy of the same buffer, and the
// plain serial fold (a literal loop of AddToChecksum per 4 bytes). A summary
// at the end sets the ratios against the goals.
//
// Counters, each the median over the iterations: GBps (10^9 bytes per second
// of thread CPU time), vs_memcpy and vs_plain (engine speed divided by the
// baseline's speed), and for PostScript the share of bytes left out as
// comments.
//
//   build/native/bench/csumstream_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "csumfold.h"
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

const std::string& ZeroJob()
{
    static const std::string job(kJobSize, '\0');
    return job;
}

// Random words, except that one word in the middle of every stretch of the
// smallest lane block makes C1 = 1, so that Hi drops to zero: every block of
// every path leaves the steady state and has to be redone word by word.
const std::string& FallbackJob()
{
    static const std::string job = [] {
        size_t stride = GetFoldBlockWords(FoldPortable);
        for (int path = 0; path < FoldPathCount; path++)
            stride = std::min(stride, GetFoldBlockWords((EFoldPath)path));
        std::mt19937_64 rng(13);
        std::string s(kJobSize, '\0');
        CChecksumStream model;
        for (size_t i = 0; i < kJobSize / 4; i++) {
            uint32_t w = (uint32_t)rng();
            if (i % stride == stride / 2)
                w = 1u - model.Checksum;
            memcpy(&s[4 * i], &w, 4);
            model.AddToChecksum(w);
        }
        return s;
    }();
    return job;
}

// PostScript text, generated from a fixed seed, in which about a third of
// the bytes are comments and code has a parenthesised string every few
// tokens, some with escapes: comment lines, text lines, drawing lines and
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
            for (int n = 1 + rng() % 4; n > 0; n--)
                t += std::string(words[rng() % 13]) + " ";
            return "(" + t + ")";
        };
        std::string s = "%!PS-Adobe-3.0\n%%Creator: bench\n%%Pages: (atend)\n%%EndComments\n";
        size_t commentBytes = s.size();
        while (s.size() < kJobSize) {
            std::string line;
            size_t comment = 0;
            const bool wantComment = commentBytes * 3 < s.size();
            switch (rng() % (wantComment ? 2 : 4) + (wantComment ? 0 : 2)) {
            case 0:
                line = "%%BeginFeature: *PageSize Letter " + num() + " " + num() + "\n";
                comment = line.size();
                break;
            case 1:
                line = "% " + text() + " " + num() + " " + text() + "\n";
                comment = line.size();
                break;
            case 2:
                line = num() + " " + num() + " moveto " + text() + " show " + text() +
                       " stringwidth pop\n";
                break;
            case 3:
                line = "gsave " + num() + " " + num() + " translate " + text() + " show 0 0 " +
                       num() + " 0 360 arc fill grestore\n";
                break;
            case 4:
                line = "/F1 " + num() + " selectfont " + text() + " show " + num() + " " +
                       num() + " lineto stroke";
                comment = 20 + rng() % 20;
                line += " % " + std::string(comment - 4, 'c') + "\n";
                break;
            default:
                line = "[" + text() + " " + text() + " " + text() + "] { show } forall\n";
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

// CPU time of this thread: the machine is shared, and the engine and the
// baselines are timed back to back so that all see the same conditions.
double ThreadSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// The plain serial fold: AddToChecksum on every 4 bytes, nothing else.
uint32_t PlainFold(const std::string& job)
{
    CChecksumStream s;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(job.data());
    for (size_t at = 0; at + 4 <= job.size(); at += 4) {
        uint32_t w;
        memcpy(&w, p + at, 4);
        s.AddToChecksum(w);
    }
    return s.Finish();
}

struct Result
{
    double GBps, VsMemcpy, VsPlain;
};
std::map<std::string, Result> Results;

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Times one pass of the engine over the job and, untimed for the framework,
// one memcpy and one plain fold of the same bytes. The machine is shared, so
// each iteration gives its own ratios and the medians are reported.
void Measure(benchmark::State& state, const std::string& key, const std::string& job,
             size_t writeSize)
{
    const uint8_t* data = reinterpret_cast<const uint8_t*>(job.data());
    std::vector<char> dst(job.size(), 1);
    std::vector<double> passSeconds, vsMemcpy, vsPlain;
    for (auto _ : state) {
        const double t0 = ThreadSeconds();
        CChecksumStream s;
        for (size_t at = 0; at < job.size(); at += writeSize)
            s.Write(data + at, (uint32_t)std::min(writeSize, job.size() - at));
        benchmark::DoNotOptimize(s.Finish());
        const double t1 = ThreadSeconds();
        state.PauseTiming();
        const double t2 = ThreadSeconds();
        memcpy(dst.data(), job.data(), job.size());
        benchmark::ClobberMemory();
        const double t3 = ThreadSeconds();
        benchmark::DoNotOptimize(PlainFold(job));
        const double t4 = ThreadSeconds();
        state.ResumeTiming();
        passSeconds.push_back(t1 - t0);
        vsMemcpy.push_back((t3 - t2) / (t1 - t0));
        vsPlain.push_back((t4 - t3) / (t1 - t0));
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * job.size()));
    const Result r = {(double)job.size() / Median(passSeconds) / 1e9, Median(vsMemcpy),
                      Median(vsPlain)};
    state.counters["GBps"] = r.GBps;
    state.counters["vs_memcpy"] = r.VsMemcpy;
    state.counters["vs_plain"] = r.VsPlain;
    Results[key] = r;
}

double CommentShare(const std::string& job)
{
    size_t counted = 0;
    CChecksumStream s;
    s.pCountedContext = &counted;
    s.pfnCounted = [](void* ctx, const uint8_t*, size_t n) { *static_cast<size_t*>(ctx) += n; };
    s.Write(reinterpret_cast<const uint8_t*>(job.data()), (uint32_t)job.size());
    return 1.0 - (double)counted / (double)job.size();
}

struct Case
{
    const char* pName;
    const std::string& (*pfnJob)();
};
const Case kCases[] = {{"random", RandomJob},
                       {"zero", ZeroJob},
                       {"fallback", FallbackJob},
                       {"postscript", PostscriptJob}};

void Register()
{
    for (int path = 0; path < FoldPathCount; path++) {
        if (!IsFoldPathSupported((EFoldPath)path))
            continue;
        for (const Case& c : kCases) {
            for (size_t writeSize : {kJobSize, kWriteSize}) {
                const std::string key = std::string(c.pName) + "/" +
                                        GetFoldPathName((EFoldPath)path) +
                                        (writeSize == kJobSize ? "/one_write" : "/4KiB_writes");
                benchmark::RegisterBenchmark(key.c_str(), [=](benchmark::State& state) {
                    SetFoldPath((EFoldPath)path);
                    Measure(state, key, c.pfnJob(), writeSize);
                    if (c.pfnJob == PostscriptJob)
                        state.counters["comment_share"] = CommentShare(c.pfnJob());
                })->Unit(benchmark::kMillisecond);
            }
        }
    }
}

// One line per ratio: its goal where there is one, and whether this run met it.
void Summarise(EFoldPath chosen)
{
    printf("\nCPU features: sse2 %s, avx2 %s, avx512 %s; fold path chosen at run time: %s\n",
           IsFoldPathSupported(FoldSse2) ? "yes" : "no",
           IsFoldPathSupported(FoldAvx2) ? "yes" : "no",
           IsFoldPathSupported(FoldAvx512) ? "yes" : "no", GetFoldPathName(chosen));
    auto line = [](const char* what, const std::string& key, double value, double goal) {
        if (!Results.count(key))
            return;
        const std::string label = what + std::string(" [") + key + "]";
        if (goal == 0)
            printf("  %-72s %6.2f\n", label.c_str(), value);
        else
            printf("  %-72s %6.2f  (goal >= %.2f) %s\n", label.c_str(), value, goal,
                   value >= goal ? "met" : "MISSED");
    };
    auto r = [](const std::string& key) { return Results.count(key) ? Results[key] : Result{}; };
    auto loss4k = [&](const std::string& c, const std::string& p) {
        const Result one = r(c + "/" + p + "/one_write"), four = r(c + "/" + p + "/4KiB_writes");
        return one.GBps > 0 ? four.GBps / one.GBps : 0;
    };
    printf("Ratios of this run:\n");
    for (const char* p : {"portable", "sse2", "avx2", "avx512"}) {
        const std::string path = p;
        const double goal = path == "sse2" ? 2.5 : path == "portable" ? 0 : 3.2;
        line("random, one write, x plain fold", "random/" + path + "/one_write",
             r("random/" + path + "/one_write").VsPlain, goal);
        line("random, 4 KiB writes, x one write", "random/" + path + "/4KiB_writes",
             loss4k("random", path), 0.85);
        line("all-zero, one write, x memcpy", "zero/" + path + "/one_write",
             r("zero/" + path + "/one_write").VsMemcpy, 1.0);
        line("fallback in every block, one write, x plain fold", "fallback/" + path + "/one_write",
             r("fallback/" + path + "/one_write").VsPlain, 0.5);
        line("fallback in every block, 4 KiB writes, x plain fold",
             "fallback/" + path + "/4KiB_writes", r("fallback/" + path + "/4KiB_writes").VsPlain,
             0.5);
        line("PostScript, one write, x memcpy", "postscript/" + path + "/one_write",
             r("postscript/" + path + "/one_write").VsMemcpy, 0.25);
        line("PostScript, 4 KiB writes, x memcpy", "postscript/" + path + "/4KiB_writes",
             r("postscript/" + path + "/4KiB_writes").VsMemcpy, 0.22);
        line("PostScript, 4 KiB writes, x one write", "postscript/" + path + "/4KiB_writes",
             loss4k("postscript", path), 0.85);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const EFoldPath chosen = GetFoldPath();
    Register();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Summarise(chosen);
    return 0;
}

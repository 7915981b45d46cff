// libFuzzer target: drives CChecksumStream and the plain byte-at-a-time model
// with the same job cut into the same writes, and stops at the first field
// that differs after any write, at Finish(), or in the bytes reported as
// counted.
//
// Input layout (FuzzedDataProvider): one mode byte, then the job bytes; the
// write sizes and header positions are taken from the end of the input.
//   mode bits 0-1: non-zero maps most bytes onto an alphabet of the bytes the
//                  scanner and the tail care about
//   mode bits 2-3: how many "%!PS-Adobe" to insert, so PostScript mode is
//                  reached often
//   mode bit  4:   install the counted-bytes observer
//   mode bits 5-7: how the job is cut into writes
// A second byte crafts the word folder's hard cases (csumfold.h):
//   bits 0-2: every 16 << bits words (none when 7), a run of 1 to 5 crafted
//             words ending there (so at block edges)
//   bit  3:   a run of zero bytes, possibly from the start
//   bit  4:   the job repeated to over 20 KiB, so that lane groups are full
// Every supported path (portable, SSE2, AVX2) runs against the model, and a
// short job is also tried at every point of a split into two writes.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "csumfold.h"
#include "csumstream.h"
#include "plain_model.h"

namespace {

const uint8_t kAlphabet[] = {'%', '(', ')', '\\', '\n', '\r', '\f', 0,   '!', 'P',
                             'S', '-', 'A', 'd',  'o',  'b',  'e',  ' ', 'x', '%'};
const char kHeader[] = "%!PS-Adobe";

void Fail(const char* what, size_t write, uint64_t engine, uint64_t model)
{
    fprintf(stderr, "mismatch in %s after write %zu: engine %#llx, model %#llx\n", what, write,
            (unsigned long long)engine, (unsigned long long)model);
    abort();
}

#define CHECK_FIELD(f) \
    if ((uint64_t)(uint32_t)e.f != (uint64_t)(uint32_t)m.f) Fail(#f, write, (uint32_t)e.f, (uint32_t)m.f)

void Compare(const CChecksumStream& e, const PlainChecksumModel& m, size_t write)
{
    CHECK_FIELD(Checksum);
    CHECK_FIELD(ChecksumHi);
    CHECK_FIELD(ChecksumLo);
    CHECK_FIELD(ByteBuffer);
    CHECK_FIELD(NumBytesInBuffer);
    CHECK_FIELD(IsPostscript);
    CHECK_FIELD(InPostscriptComment);
    CHECK_FIELD(InPostscriptString);
    CHECK_FIELD(PrevCharIsBackslash);
    if (memcmp(e.pOldBuffer, m.pOldBuffer, sizeof e.pOldBuffer) != 0)
        Fail("pOldBuffer", write, 0, 0);
}

void Collect(void* context, const uint8_t* bytes, size_t count)
{
    if (count == 0)
        Fail("empty observer run", 0, 0, 0);
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    out->insert(out->end(), bytes, bytes + count);
}

// Replaces words of a plain job so that chosen sums C1 = C + w hit the cases
// that leave Hi or Lo zero, or (0x2AAAAAAB) make C zero, followed by zero words.
void CraftZeroCases(std::vector<uint8_t>& job, uint8_t craft, FuzzedDataProvider& fdp)
{
    static const uint32_t kTargets[] = {0, 1, 0x80000000u, 0x80000001u, 0x2AAAAAABu};
    const size_t stride = (size_t)16 << (craft & 7);
    const size_t run = fdp.ConsumeIntegralInRange<size_t>(0, 4);
    PlainChecksumModel m;
    bool zeroNext = false;
    for (size_t i = 0; 4 * i + 4 <= job.size(); i++) {
        uint32_t w;
        memcpy(&w, &job[4 * i], 4);
        if ((craft & 7) != 7 && (i + run) % stride <= run) {
            const uint32_t target = kTargets[(i + craft) % 5];
            w = zeroNext ? 0 : target - m.Checksum;
            zeroNext = zeroNext || target == 0x2AAAAAABu;
            memcpy(&job[4 * i], &w, 4);
        } else {
            zeroNext = false;
        }
        m.AddToChecksum(w);
    }
}

// One job through one path, cut into the given writes, against the model.
void RunJob(const std::vector<uint8_t>& job, const std::vector<size_t>& writes, bool observe)
{
    CChecksumStream engine;
    PlainChecksumModel model;
    std::vector<uint8_t> engineCounted, modelCounted;
    if (observe) {
        engine.pfnCounted = Collect;
        engine.pCountedContext = &engineCounted;
        model.pCounted = &modelCounted;
    }
    size_t offset = 0, write = 0;
    for (size_t len : writes) {
        // A copy of exactly this write, so that any read past it is caught.
        std::vector<uint8_t> chunk(job.begin() + (ptrdiff_t)offset,
                                   job.begin() + (ptrdiff_t)(offset + len));
        engine.Write(chunk.data(), (uint32_t)len);
        model.Write(chunk.data(), (uint32_t)len);
        offset += len;
        write++;
        Compare(engine, model, write);

        // Ending the job here must agree too.
        CChecksumStream e2 = engine;
        e2.pfnCounted = nullptr;
        PlainChecksumModel m2 = model;
        m2.pCounted = nullptr;
        if (e2.Finish() != m2.Finish())
            Fail("Finish()", write, e2.Checksum, m2.Checksum);
        Compare(e2, m2, write);
    }

    const uint32_t e = engine.Finish(), m = model.Finish();
    if (e != m)
        Fail("final Finish()", write, e, m);
    if (observe && engineCounted != modelCounted)
        Fail("counted bytes", write, engineCounted.size(), modelCounted.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const uint8_t mode = fdp.ConsumeIntegral<uint8_t>();
    const uint8_t craft = fdp.ConsumeIntegral<uint8_t>();

    std::vector<uint8_t> job =
        fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange<size_t>(0, 8192));
    if (mode & 3)
        for (uint8_t& b : job)
            if (b < 0xE0)
                b = kAlphabet[b % sizeof kAlphabet];
    for (int k = 0; k < ((mode >> 2) & 3); k++) {
        const size_t at = fdp.ConsumeIntegral<uint16_t>() % (job.size() + 1);
        job.insert(job.begin() + (ptrdiff_t)at, kHeader, kHeader + 10);
    }
    if ((craft & 0x10) && !job.empty())
        while (job.size() < 20000)
            job.insert(job.end(), job.begin(), job.begin() + (ptrdiff_t)std::min<size_t>(job.size(), 8192));
    if (craft & 8) {
        const size_t from = fdp.ConsumeBool() ? 0 : fdp.ConsumeIntegral<uint16_t>() % (job.size() + 1);
        const size_t len = fdp.ConsumeIntegral<uint16_t>();
        std::fill(job.begin() + (ptrdiff_t)from, job.begin() + (ptrdiff_t)std::min(job.size(), from + len), 0);
    }
    CraftZeroCases(job, craft, fdp);

    const int style = mode >> 5;
    std::vector<size_t> writes;
    for (size_t offset = 0; offset < job.size();) {
        const size_t left = job.size() - offset;
        size_t len;
        if (fdp.remaining_bytes() == 0)
            len = left;
        else if (style == 0)
            len = 1;
        else if (style <= 3)
            len = fdp.ConsumeIntegralInRange<size_t>(0, 12);
        else if (style <= 5)
            len = fdp.ConsumeIntegralInRange<size_t>(0, 80);
        else
            len = fdp.ConsumeIntegralInRange<size_t>(0, left);
        writes.push_back(std::min(len, left));
        offset += writes.back();
    }

    for (int path = 0; path < FoldPathCount; path++) {
        if (!SetFoldPath((EFoldPath)path))
            continue;
        RunJob(job, writes, (mode & 0x10) != 0);
        if (job.size() <= 256)
            for (size_t cut = 0; cut <= job.size(); cut++)
                RunJob(job, {cut, job.size() - cut}, false);
    }
    return 0;
}

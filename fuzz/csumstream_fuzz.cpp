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
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const uint8_t mode = fdp.ConsumeIntegral<uint8_t>();

    std::vector<uint8_t> job =
        fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange<size_t>(0, 4096));
    if (mode & 3)
        for (uint8_t& b : job)
            if (b < 0xE0)
                b = kAlphabet[b % sizeof kAlphabet];
    for (int k = 0; k < ((mode >> 2) & 3); k++) {
        const size_t at = fdp.ConsumeIntegral<uint16_t>() % (job.size() + 1);
        job.insert(job.begin() + (ptrdiff_t)at, kHeader, kHeader + 10);
    }

    CChecksumStream engine;
    PlainChecksumModel model;
    std::vector<uint8_t> engineCounted, modelCounted;
    const bool observe = (mode & 0x10) != 0;
    if (observe) {
        engine.pfnCounted = Collect;
        engine.pCountedContext = &engineCounted;
        model.pCounted = &modelCounted;
    }

    const int style = mode >> 5;
    size_t offset = 0, write = 0;
    while (offset < job.size()) {
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
        if (len > left)
            len = left;
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
    return 0;
}

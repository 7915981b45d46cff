// model_check.h: one job through CChecksumStream and the plain model side by
// side, on every folding path the processor has, compared field by field
// after every write and after ending the job there. Shared by the fuzz
// target and the unit tests; a mismatch comes back as a text naming the
// path, the write and the field.
#pragma once

#include <string.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "csumfold.h"
#include "csumstream.h"
#include "plain_model.h"

// The fields a write can change, but for the carried tail.
template <class S>
std::array<uint32_t, 9> FieldValues(const S& s)
{
    return {s.Checksum,          s.ChecksumHi,         s.ChecksumLo,
            s.ByteBuffer,        s.NumBytesInBuffer,   (uint32_t)s.IsPostscript,
            (uint32_t)s.InPostscriptComment, s.InPostscriptString, (uint32_t)s.PrevCharIsBackslash};
}

// The first field in which engine and model differ, or "".
inline std::string FirstDifference(const CChecksumStream& e, const PlainChecksumModel& m)
{
    static const char* const kNames[] = {
        "Checksum",     "ChecksumHi",          "ChecksumLo",         "ByteBuffer",         "NumBytesInBuffer",
        "IsPostscript", "InPostscriptComment", "InPostscriptString", "PrevCharIsBackslash"};
    const std::array<uint32_t, 9> engine = FieldValues(e), model = FieldValues(m);
    for (size_t i = 0; i < engine.size(); i++)
        if (engine[i] != model[i])
            return kNames[i] + (": engine " + std::to_string(engine[i]) + ", model " + std::to_string(model[i]));
    if (memcmp(e.pOldBuffer, m.pOldBuffer, sizeof e.pOldBuffer) != 0)
        return "pOldBuffer: engine \"" + std::string(e.pOldBuffer) + "\", model \"" + m.pOldBuffer + "\"";
    return "";
}

inline void CollectCounted(void* pContext, const uint8_t* pBytes, size_t cbBytes)
{
    auto* pOut = static_cast<std::vector<uint8_t>*>(pContext);
    pOut->insert(pOut->end(), pBytes, pBytes + cbBytes);
    if (cbBytes == 0)
        pOut->push_back('?');  // an empty run is a fault: make it show
}

// The job cut into writes of the given sizes, from the scanner state of Start,
// on one path. With pCounted, the observer is installed and the bytes it saw,
// which must be the model's, are stored there.
inline std::string RunOnPath(const std::vector<uint8_t>& job, const std::vector<size_t>& writes,
                             const PlainChecksumModel& Start, std::vector<uint8_t>* pCounted)
{
    PlainChecksumModel model = Start;
    CChecksumStream engine;
    engine.IsPostscript = Start.IsPostscript;
    engine.InPostscriptComment = Start.InPostscriptComment;
    engine.InPostscriptString = Start.InPostscriptString;
    engine.PrevCharIsBackslash = Start.PrevCharIsBackslash;
    std::vector<uint8_t> engineCounted, modelCounted;
    if (pCounted) {
        engine.pfnCounted = CollectCounted;
        engine.pCountedContext = &engineCounted;
        model.pCounted = &modelCounted;
    }
    std::string where = std::string(GetFoldPathName(GetFoldPath())) + ", write ";
    size_t offset = 0;
    for (size_t write = 0; write < writes.size(); write++) {
        // A copy of exactly this write, so that any read past it is caught.
        const std::vector<uint8_t> chunk(job.begin() + (ptrdiff_t)offset,
                                         job.begin() + (ptrdiff_t)(offset + writes[write]));
        offset += chunk.size();
        engine.Write(chunk.data(), (uint32_t)chunk.size());
        model.Write(chunk.data(), (uint32_t)chunk.size());
        std::string diff = FirstDifference(engine, model);
        // Ending the job here must agree too.
        CChecksumStream endedEngine = engine;  // Finish() tells no observer
        PlainChecksumModel endedModel = model;
        if (diff.empty() && endedEngine.Finish() != endedModel.Finish())
            diff = "Finish(): " + FirstDifference(endedEngine, endedModel);
        if (!diff.empty())
            return where + std::to_string(write + 1) + ": " + diff;
    }
    if (pCounted && engineCounted != modelCounted)
        return where + "end: the observer saw other bytes than the model counted";
    if (pCounted)
        *pCounted = modelCounted;
    return "";
}

// The same on every supported path; with pCounted, also with the observer.
inline std::string RunOnEveryPath(const std::vector<uint8_t>& job,
                                  const std::vector<size_t>& writes,
                                  std::vector<uint8_t>* pCounted = nullptr,
                                  const PlainChecksumModel& Start = PlainChecksumModel())
{
    const EFoldPath saved = GetFoldPath();
    std::string diff;
    for (int path = 0; path < FoldPathCount && diff.empty(); path++) {
        if (!SetFoldPath((EFoldPath)path))
            continue;
        diff = RunOnPath(job, writes, Start, nullptr);
        if (diff.empty() && pCounted)
            diff = RunOnPath(job, writes, Start, pCounted);
    }
    SetFoldPath(saved);
    return diff;
}

// The word folder's hard cases (csumfold.h): replaces the plain job's words
// that end every 16 << (craft & 7) words (none when craft & 7 is 7), in runs
// of run + 1, so that the sum C1 = C + w becomes 0, 1, 0x80000000 or
// 0x80000001 (leaving Hi or Lo zero) at block edges, or 0x2AAAAAAB (which
// makes C zero) followed by zero words.
inline void CraftZeroCases(std::vector<uint8_t>& job, uint8_t craft, size_t run)
{
    static const uint32_t kTargets[] = {0, 1, 0x80000000u, 0x80000001u, 0x2AAAAAABu};
    const size_t stride = (size_t)16 << (craft & 7);
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

// A job built from the choices of a FuzzedDataProvider (or anything with
// the two calls used here), cut into writes and run on every path. The
// choices steer:
//   - the bytes: mostly the ones the scanner and the tail care about, or any,
//     or (craft bit 6) mostly letters, so that most 64-byte blocks are ones
//     the scanner takes whole and strings and comments cross their edges;
//   - up to three "%!PS-Adobe" inserted, so that PostScript is reached often;
//   - craft (CraftZeroCases) and, with its bits 3 and 4, a run of zero bytes
//     and the job repeated to 2.5 times maxLength (full lane groups);
//   - a scanner state set by hand to start from, also one that no job
//     reaches (a comment inside a string), and the observer;
//   - writes of one byte each, up to 12 or 80 bytes, or any size; once the
//     choices run out, the rest of the job is one write.
// A job of up to 256 bytes is also tried at every point of a split into two.
template <class Source>
std::string RunRandomJob(Source& in, size_t maxLength)
{
    static const uint8_t kAlphabet[] = {'%', '(', ')', '\\', '\n', '\r', '\f', 0,   '!', 'P',
                                        'S', '-', 'A', 'd',  'o',  'b',  'e',  ' ', 'x', '%'};
    static const char kHeader[] = "%!PS-Adobe";
    const auto pick = [&in](size_t lo, size_t hi) {
        return in.template ConsumeIntegralInRange<size_t>(lo, hi);
    };
    const uint8_t craft = (uint8_t)pick(0, 255);
    const size_t mode = pick(0, 255);
    std::vector<uint8_t> job(pick(0, std::min(maxLength, in.remaining_bytes())));
    for (uint8_t& b : job) {
        b = (uint8_t)pick(0, 255);
        if ((craft & 0x40) && b < 0xCC)
            b = (uint8_t)('a' + b % 26);
        else if ((mode & 3) != 0 && b < 0xE0)
            b = kAlphabet[b % sizeof kAlphabet];
    }
    for (size_t k = (mode >> 2) & 3; k > 0; k--)
        job.insert(job.begin() + (ptrdiff_t)pick(0, job.size()), kHeader, kHeader + 10);
    while ((craft & 0x10) && !job.empty() && job.size() < maxLength * 5 / 2)
        job.insert(job.end(), job.begin(), job.begin() + (ptrdiff_t)std::min<size_t>(job.size(), 8192));
    if (craft & 8) {
        const size_t from = pick(0, 1) ? 0 : pick(0, job.size());
        std::fill(job.begin() + (ptrdiff_t)from, job.begin() + (ptrdiff_t)std::min(job.size(), from + pick(0, 65535)), 0);
    }
    CraftZeroCases(job, craft, pick(0, 4));

    PlainChecksumModel start;
    if (craft & 0x20) {
        start.IsPostscript = 1;
        start.InPostscriptComment = (int32_t)pick(0, 1);
        start.InPostscriptString = (uint32_t)pick(0, 2);
        start.PrevCharIsBackslash = (int32_t)pick(0, 1);
    }
    const size_t style = mode >> 5;
    std::vector<size_t> writes;
    for (size_t offset = 0; offset < job.size(); offset += writes.back()) {
        const size_t left = job.size() - offset;
        const size_t most = style == 0 ? 1 : style <= 3 ? 12 : style <= 5 ? 80 : left;
        writes.push_back(in.remaining_bytes() == 0 ? left : std::min(left, pick(style == 0 ? 1 : 0, most)));
    }

    std::vector<uint8_t> counted;
    std::string diff = RunOnEveryPath(job, writes, (mode & 0x10) ? &counted : nullptr, start);
    for (size_t cut = 0; diff.empty() && job.size() <= 256 && cut <= job.size(); cut++)
        diff = RunOnEveryPath(job, {cut, job.size() - cut}, nullptr, start);
    return diff;
}

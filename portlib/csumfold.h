// csumfold.h: folding runs of whole 32-bit words into the checksum, fast and
// exactly as one AddToChecksum per word would.
//
// Plain C++ with no Win32 dependency. The stream (csumstream) hands every run
// of complete words here; the SSE2, AVX2 or AVX-512 lanes are chosen at run
// time from what the processor offers, so one build runs on any x86
// processor (the i686 DLL included, where SSE2 itself is optional).
#pragma once

#include <stddef.h>
#include <stdint.h>

// The checksum words, and what the lanes remember between runs of one job.
struct CWordFold
{
    uint32_t Checksum;
    uint32_t ChecksumHi;
    uint32_t ChecksumLo;
    uint32_t Fallbacks;        // lane groups in a row that had to be redone word by word
    uint32_t SerialWordsLeft;  // words to fold one by one before the lanes are tried again
};

// Folds NumWords little-endian words at pWords (no alignment needed).
void FoldWords(CWordFold& Fold, const uint8_t* pWords, size_t NumWords);

// The ways of folding: word after word in plain C++ lanes, or in SSE2, AVX2
// or AVX-512 lanes (the path also sets the PostScript scanner's instruction
// set). Every one gives the same fields.
enum EFoldPath
{
    FoldPortable,
    FoldSse2,
    FoldAvx2,
    FoldAvx512,
    FoldPathCount
};

// Whether this processor (and its operating system) can run a path.
bool IsFoldPathSupported(EFoldPath Path);

// The path in use: the fastest supported one unless SetFoldPath chose another.
EFoldPath GetFoldPath();

// For tests and the benchmark: uses Path from now on, for every stream in the
// process. Returns false, changing nothing, when Path is not supported.
bool SetFoldPath(EFoldPath Path);

// "portable", "sse2", "avx2" or "avx512".
const char* GetFoldPathName(EFoldPath Path);

// Words per block of one lane when a run is long enough (blocks of shorter
// runs are smaller). Exposed for the benchmark's worst-case input.
size_t GetFoldBlockWords(EFoldPath Path);

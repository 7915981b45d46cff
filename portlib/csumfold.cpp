// csumfold.cpp: folding runs of whole words into the checksum, past the
// speed of one word after the other, with exactly the same result.
//
// One AddToChecksum is C1 = C + w; Hi = C1 ^ (Hi != 0); Lo = C1 ^ (Lo != 0) << 31;
// C = C1 + Hi + Lo. While Hi and Lo stay non-zero (the steady state) that is
//     C' = 2*C1 + (C1 ^ 0x80000001) = 3*C1 + 2^31 + 1 - 2*(C1 & 1)   (mod 2^32),
// and Hi and Lo stay non-zero unless C1 is 1 or 0x80000000. Each step flips
// the parity of C1 into C', so the parity of C at any word follows from the
// parity at the start and the low bits of the words before it; and two starts
// of equal parity stay 3^n apart after n words. A block of n words therefore
// maps a start C of known parity p to 3^n * (C - p) + F(p), where F(p) is the
// block run from the start value p itself.
//
// A group of blocks side by side in vector lanes is then folded in three
// passes over data that stays in the L1 cache:
//   1. the parity at each block's start, from the low bits of the words
//      (read in the same vector rows as the lanes);
//   2. every block run from its parity bit (lanes, no dependency between
//      blocks), then the true block starts chained with one multiply-add per
//      block;
//   3. every block run again from its true start, recording in each lane
//      whether any C1 left the steady state (C1 in {0, 1, 0x80000000,
//      0x80000001}; a superset of the two values that matter, to keep the
//      test to one comparison).
// Blocks before the first lane that left the steady state are exact. That
// block is folded word by word, with the exact step, and the lanes go on
// after it. Data can be built to leave the steady state in every block, so
// after repeated fallbacks the lanes are left alone for a growing stretch.
// An all-zero state stays all-zero under zero words, which are skipped.
#include "csumfold.h"

#include <string.h>

#include <atomic>

#include "csumsimd.h"

namespace {

const uint32_t kSteadyMix = 0x80000001u;  // Hi and Lo as the one bit each that is read
const size_t kGroupWords = 4096;          // 16 KiB of words per group of blocks, well inside L1
const size_t kMinBlockWords = 16;
const unsigned kMaxLanes = 32;
const uint32_t kMaxBackoffShift = 5;      // serial stretch up to 32 groups

inline uint32_t LoadLE32(const uint8_t* p)
{
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t Value;
    memcpy(&Value, p, sizeof Value);
    return Value;
#else
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
#endif
}

// The exact fold, word after word: AddToChecksum with Hi and Lo kept as the
// one bit each that the next word reads from them:
//   C = C1 + Hi + Lo = 2*C1 + (C1 ^ hb ^ (lb << 31)),
// since adding a lone bit 31 is the same as XORing it.
void FoldSerial(CWordFold& Fold, const uint8_t* p, size_t NumWords)
{
    if (NumWords == 0)
        return;
    uint32_t C = Fold.Checksum;
    uint32_t Mix = (Fold.ChecksumHi != 0 ? 1u : 0u) | (Fold.ChecksumLo != 0 ? 0x80000000u : 0u);
    uint32_t C1 = 0, LastMix = 0;
    for (size_t i = 0; i < NumWords; i++, p += 4)
    {
        C1 = C + LoadLE32(p);
        LastMix = Mix;
        C = 2 * C1 + (C1 ^ Mix);
        // Testing for the four values keeps the exact update off the chain.
        if ((C1 & 0x7FFFFFFEu) != 0)
            Mix = kSteadyMix;
        else
            Mix = (C1 != (Mix & 1u) ? 1u : 0u) | (C1 != (Mix & 0x80000000u) ? 0x80000000u : 0u);
    }
    Fold.Checksum = C;
    Fold.ChecksumHi = C1 ^ (LastMix & 1u);
    Fold.ChecksumLo = C1 ^ (LastMix & 0x80000000u);
}

// Leading zero words, from word i on (the vector versions look at whole
// stretches first and leave the rest here).
size_t CountZeroWords(const uint8_t* p, size_t NumWords, size_t i = 0)
{
    for (; i + 16 <= NumWords; i += 16)
    {
        uint64_t v[8];
        memcpy(v, p + 4 * i, sizeof v);
        if ((v[0] | v[1] | v[2] | v[3] | v[4] | v[5] | v[6] | v[7]) != 0)
            break;
    }
    while (i < NumWords && LoadLE32(p + 4 * i) == 0)
        i++;
    return i;
}

inline uint64_t LoadLE64(const uint8_t* p)
{
    return (uint64_t)LoadLE32(p) | ((uint64_t)LoadLE32(p + 4) << 32);
}

// XOR of the low bits of NumWords words.
uint32_t LowBitsParity(const uint8_t* p, size_t NumWords)
{
    uint64_t x0 = 0, x1 = 0;
    size_t i = 0;
    for (; i + 8 <= NumWords; i += 8)
    {
        x0 ^= LoadLE64(p + 4 * i) ^ LoadLE64(p + 4 * i + 8);
        x1 ^= LoadLE64(p + 4 * i + 16) ^ LoadLE64(p + 4 * i + 24);
    }
    for (; i + 2 <= NumWords; i += 2)
        x0 ^= LoadLE64(p + 4 * i);
    const uint64_t x = x0 ^ x1;
    uint32_t Bit = (uint32_t)(x ^ (x >> 32)) & 1u;  // the low bits of the two words
    if (i < NumWords)
        Bit ^= p[4 * i] & 1u;
    return Bit;
}

// The first pass over a group's lanes: bit k set when the low bits of the
// words of lane k's block (BlockWords words, at p + 4 * k * BlockWords) XOR
// to 1. The vector versions load the blocks as the lanes do and XOR rows.
typedef uint32_t (*PFN_LOW_BITS)(const uint8_t* p, size_t BlockWords);

uint32_t LowBitsPortable(const uint8_t* p, size_t BlockWords)
{
    uint32_t Mask = 0;
    for (unsigned k = 0; k < 4; k++)
        Mask |= LowBitsParity(p + 4 * k * BlockWords, BlockWords) << k;
    return Mask;
}

uint32_t PowerOf3(size_t Exponent)
{
    uint32_t Result = 1, Base = 3;
    for (; Exponent != 0; Exponent >>= 1, Base *= Base)
        if (Exponent & 1)
            Result *= Base;
    return Result;
}

// A lane kernel runs Lanes blocks of BlockWords words side by side, block k
// at p + 4 * k * BlockWords, lane k from pStart[k], with the steady step. It
// stores each lane's end in pEnd. With Check it also stores each lane's last
// C1 in pLastSum and returns a mask of the lanes in which some C1 left the
// steady state; without, it returns 0. BlockWords is a multiple of 4.
// Without Check it is the first full pass over a group, and it asks for the
// next group, spread over its loop: with many blocks read side by side the
// hardware prefetcher alone falls behind. (A prefetch never faults.)
typedef uint32_t (*PFN_LANES)(const uint8_t* p, size_t BlockWords, const uint32_t* pStart,
                              uint32_t* pEnd, uint32_t* pLastSum);

// Plain C++ lanes: independent chains that the processor overlaps.
template <bool Check>
uint32_t LanesPortable(const uint8_t* p, size_t BlockWords, const uint32_t* pStart,
                       uint32_t* pEnd, uint32_t* pLastSum)
{
    const size_t Stride = 4 * BlockWords;
    uint32_t X[4], T[4] = {0, 0, 0, 0}, Fault = 0;
    for (unsigned k = 0; k < 4; k++)
        X[k] = pStart[k];
    for (size_t i = 0; i < BlockWords; i++, p += 4)
    {
        for (unsigned k = 0; k < 4; k++)
        {
            const uint32_t Sum = X[k] + LoadLE32(p + k * Stride);
            const uint32_t Twice = Sum + Sum;
            X[k] = Twice + (Sum ^ kSteadyMix);
            T[k] = Sum;
            if (Check && (Twice | 2u) == 2u)
                Fault |= 1u << k;
        }
    }
    for (unsigned k = 0; k < 4; k++)
    {
        pEnd[k] = X[k];
        if (Check)
            pLastSum[k] = T[k];
    }
    return Fault;
}

#if CSUM_X86

// Leading zero words, 64 or 128 bytes at a time: all-zero data goes at the
// speed of reading it.
CSUM_TARGET_SSE2 size_t CountZeroWordsSse2(const uint8_t* p, size_t NumWords)
{
    size_t i = 0;
    for (; i + 16 <= NumWords; i += 16)
    {
        const __m128i* q = reinterpret_cast<const __m128i*>(p + 4 * i);
        const __m128i Any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(q), _mm_loadu_si128(q + 1)),
                                         _mm_or_si128(_mm_loadu_si128(q + 2), _mm_loadu_si128(q + 3)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(Any, _mm_setzero_si128())) != 0xFFFF)
            break;
    }
    return CountZeroWords(p, NumWords, i);
}

CSUM_TARGET_AVX2 size_t CountZeroWordsAvx2(const uint8_t* p, size_t NumWords)
{
    size_t i = 0;
    for (; i + 32 <= NumWords; i += 32)
    {
        const __m256i* q = reinterpret_cast<const __m256i*>(p + 4 * i);
        const __m256i Any =
            _mm256_or_si256(_mm256_or_si256(_mm256_loadu_si256(q), _mm256_loadu_si256(q + 1)),
                            _mm256_or_si256(_mm256_loadu_si256(q + 2), _mm256_loadu_si256(q + 3)));
        if (!_mm256_testz_si256(Any, Any))
            break;
    }
    return CountZeroWords(p, NumWords, i);
}

// Rows r0..r3 (four words of four lanes each) to columns (one word of each
// lane), within each 128-bit half.
#define CSUM_TRANSPOSE4(U, r0, r1, r2, r3)                    \
    do                                                        \
    {                                                         \
        const auto t0 = U##_unpacklo_epi32(r0, r1);           \
        const auto t1 = U##_unpacklo_epi32(r2, r3);           \
        const auto t2 = U##_unpackhi_epi32(r0, r1);           \
        const auto t3 = U##_unpackhi_epi32(r2, r3);           \
        r0 = U##_unpacklo_epi64(t0, t1);                      \
        r1 = U##_unpackhi_epi64(t0, t1);                      \
        r2 = U##_unpacklo_epi64(t2, t3);                      \
        r3 = U##_unpackhi_epi64(t2, t3);                      \
    } while (0)

// One steady step of two vectors of lanes A and B: C1 = C + w, then
// C = 2*C1 + (C1 ^ 0x80000001). With Check, 2*C1 also gives the test:
// (2*C1 | 2) == 2 exactly when C1 is 0, 1, 0x80000000 or 0x80000001.
#define CSUM_STEP(ADD, XOR, CHECK, WA, WB)         \
    do                                             \
    {                                              \
        TA = ADD(XA, WA);                          \
        TB = ADD(XB, WB);                          \
        const auto DA = ADD(TA, TA);               \
        const auto DB = ADD(TB, TB);               \
        XA = ADD(DA, XOR(TA, Mix));                \
        XB = ADD(DB, XOR(TB, Mix));                \
        if (Check)                                 \
            CHECK(DA, DB);                         \
    } while (0)

// SSE2 flags a lane with all ones; AVX2 keeps a running unsigned minimum.
#define CSUM_CHECK_SSE2(DA, DB)                                                       \
    (FaultA = _mm_or_si128(FaultA, _mm_cmpeq_epi32(_mm_or_si128(DA, Two), Two)),      \
     FaultB = _mm_or_si128(FaultB, _mm_cmpeq_epi32(_mm_or_si128(DB, Two), Two)))
#define CSUM_CHECK_AVX2(DA, DB)                                                       \
    (FaultA = _mm256_min_epu32(FaultA, _mm256_or_si256(DA, Two)),                     \
     FaultB = _mm256_min_epu32(FaultB, _mm256_or_si256(DB, Two)))
#define CSUM_STEP_SSE2(WA, WB) CSUM_STEP(_mm_add_epi32, _mm_xor_si128, CSUM_CHECK_SSE2, WA, WB)
#define CSUM_STEP_AVX2(WA, WB) \
    CSUM_STEP(_mm256_add_epi32, _mm256_xor_si256, CSUM_CHECK_AVX2, WA, WB)

// SSE2: 8 lanes, two vectors of four, so that two chains overlap.
template <bool Check>
CSUM_TARGET_SSE2 uint32_t LanesSse2(const uint8_t* p, size_t BlockWords, const uint32_t* pStart,
                                    uint32_t* pEnd, uint32_t* pLastSum)
{
    const size_t Stride = 4 * BlockWords;
    const __m128i Mix = _mm_set1_epi32((int)kSteadyMix);
    const __m128i Two = _mm_set1_epi32(2);
    __m128i XA = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pStart));
    __m128i XB = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pStart + 4));
    __m128i TA = _mm_setzero_si128(), TB = TA, FaultA = TA, FaultB = TA;
    const char* pNext = reinterpret_cast<const char*>(p + 4 * 8 * Stride);
    for (size_t i = 0; i < BlockWords; i += 4, p += 16, pNext += 8 * 16)
    {
        if (!Check)
        {
            _mm_prefetch(pNext, _MM_HINT_T0);
            _mm_prefetch(pNext + 64, _MM_HINT_T0);
        }
#define CSUM_LOAD(k) _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + (k) * Stride))
        __m128i A0 = CSUM_LOAD(0), A1 = CSUM_LOAD(1), A2 = CSUM_LOAD(2), A3 = CSUM_LOAD(3);
        __m128i B0 = CSUM_LOAD(4), B1 = CSUM_LOAD(5), B2 = CSUM_LOAD(6), B3 = CSUM_LOAD(7);
#undef CSUM_LOAD
        CSUM_TRANSPOSE4(_mm, A0, A1, A2, A3);
        CSUM_TRANSPOSE4(_mm, B0, B1, B2, B3);
        CSUM_STEP_SSE2(A0, B0);
        CSUM_STEP_SSE2(A1, B1);
        CSUM_STEP_SSE2(A2, B2);
        CSUM_STEP_SSE2(A3, B3);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pEnd), XA);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pEnd + 4), XB);
    if (!Check)
        return 0;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pLastSum), TA);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pLastSum + 4), TB);
    return (uint32_t)_mm_movemask_ps(_mm_castsi128_ps(FaultA)) |
           ((uint32_t)_mm_movemask_ps(_mm_castsi128_ps(FaultB)) << 4);
}

// Four words of lanes Lane and Lane + 4 (in the two halves), or of Lane,
// Lane + 4, Lane + 8 and Lane + 12 (in the four quarters): a row as the AVX2
// and AVX-512 lanes load them, Stride bytes between blocks.
CSUM_TARGET_AVX2 inline __m256i RowAvx2(const uint8_t* p, size_t Stride, unsigned Lane)
{
    const __m128i* q = reinterpret_cast<const __m128i*>(p + Lane * Stride);
    const __m128i* r = reinterpret_cast<const __m128i*>(p + (Lane + 4) * Stride);
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(q)), _mm_loadu_si128(r), 1);
}

CSUM_TARGET_AVX512 inline __m512i RowAvx512(const uint8_t* p, size_t Stride, unsigned Lane)
{
    const __m512i Low = _mm512_castsi256_si512(RowAvx2(p, Stride, Lane));
    return _mm512_inserti64x4(Low, RowAvx2(p, Stride, Lane + 8), 1);
}

// AVX2: 16 lanes, two vectors of eight. Vector row k holds lane k in its low
// half and lane k + 4 in its high half, so that the in-half transpose leaves
// lanes 0 to 7 in element order.
template <bool Check>
CSUM_TARGET_AVX2 uint32_t LanesAvx2(const uint8_t* p, size_t BlockWords, const uint32_t* pStart,
                                    uint32_t* pEnd, uint32_t* pLastSum)
{
    const size_t Stride = 4 * BlockWords;
    const __m256i Mix = _mm256_set1_epi32((int)kSteadyMix);
    const __m256i Two = _mm256_set1_epi32(2);
    __m256i XA = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pStart));
    __m256i XB = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pStart + 8));
    __m256i TA = _mm256_setzero_si256(), TB = TA;
    __m256i FaultA = _mm256_set1_epi32(-1), FaultB = FaultA;  // running minimum
    const char* pNext = reinterpret_cast<const char*>(p + 4 * 16 * Stride);
    for (size_t i = 0; i < BlockWords; i += 4, p += 16, pNext += 16 * 16)
    {
        if (!Check)
        {
            _mm_prefetch(pNext, _MM_HINT_T0);
            _mm_prefetch(pNext + 64, _MM_HINT_T0);
            _mm_prefetch(pNext + 128, _MM_HINT_T0);
            _mm_prefetch(pNext + 192, _MM_HINT_T0);
        }
        __m256i A0 = RowAvx2(p, Stride, 0), A1 = RowAvx2(p, Stride, 1);
        __m256i A2 = RowAvx2(p, Stride, 2), A3 = RowAvx2(p, Stride, 3);
        __m256i B0 = RowAvx2(p, Stride, 8), B1 = RowAvx2(p, Stride, 9);
        __m256i B2 = RowAvx2(p, Stride, 10), B3 = RowAvx2(p, Stride, 11);
        CSUM_TRANSPOSE4(_mm256, A0, A1, A2, A3);
        CSUM_TRANSPOSE4(_mm256, B0, B1, B2, B3);
        CSUM_STEP_AVX2(A0, B0);
        CSUM_STEP_AVX2(A1, B1);
        CSUM_STEP_AVX2(A2, B2);
        CSUM_STEP_AVX2(A3, B3);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(pEnd), XA);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(pEnd + 8), XB);
    if (!Check)
        return 0;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(pLastSum), TA);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(pLastSum + 8), TB);
    const uint32_t MaskA = (uint32_t)_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(FaultA, Two)));
    const uint32_t MaskB = (uint32_t)_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(FaultB, Two)));
    return MaskA | (MaskB << 8);
}

// AVX-512: 32 lanes, two vectors of sixteen. Vector row k holds lanes k,
// k + 4, k + 8 and k + 12 in its four quarters, so that the in-quarter
// transpose leaves lanes 0 to 15 in element order.
#define CSUM_CHECK_AVX512(DA, DB)                                                     \
    (FaultA = _mm512_min_epu32(FaultA, _mm512_or_si512(DA, Two)),                     \
     FaultB = _mm512_min_epu32(FaultB, _mm512_or_si512(DB, Two)))
#define CSUM_STEP_AVX512(WA, WB) \
    CSUM_STEP(_mm512_add_epi32, _mm512_xor_si512, CSUM_CHECK_AVX512, WA, WB)

// GCC 12's own AVX-512 unpack intrinsics trip its uninitialised-use warning.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
template <bool Check>
CSUM_TARGET_AVX512 uint32_t LanesAvx512(const uint8_t* p, size_t BlockWords,
                                        const uint32_t* pStart, uint32_t* pEnd,
                                        uint32_t* pLastSum)
{
    const size_t Stride = 4 * BlockWords;
    const __m512i Mix = _mm512_set1_epi32((int)kSteadyMix);
    const __m512i Two = _mm512_set1_epi32(2);
    __m512i XA = _mm512_loadu_si512(pStart);
    __m512i XB = _mm512_loadu_si512(pStart + 16);
    __m512i TA = _mm512_setzero_si512(), TB = TA;
    __m512i FaultA = _mm512_set1_epi32(-1), FaultB = FaultA;  // running minimum
    const char* pNext = reinterpret_cast<const char*>(p + 4 * 32 * Stride);
    for (size_t i = 0; i < BlockWords; i += 4, p += 16, pNext += 32 * 16)
    {
        if (!Check)
        {
            for (unsigned k = 0; k < 8; k++)
                _mm_prefetch(pNext + 64 * k, _MM_HINT_T0);
        }
        __m512i A0 = RowAvx512(p, Stride, 0), A1 = RowAvx512(p, Stride, 1);
        __m512i A2 = RowAvx512(p, Stride, 2), A3 = RowAvx512(p, Stride, 3);
        __m512i B0 = RowAvx512(p, Stride, 16), B1 = RowAvx512(p, Stride, 17);
        __m512i B2 = RowAvx512(p, Stride, 18), B3 = RowAvx512(p, Stride, 19);
        CSUM_TRANSPOSE4(_mm512, A0, A1, A2, A3);
        CSUM_TRANSPOSE4(_mm512, B0, B1, B2, B3);
        CSUM_STEP_AVX512(A0, B0);
        CSUM_STEP_AVX512(A1, B1);
        CSUM_STEP_AVX512(A2, B2);
        CSUM_STEP_AVX512(A3, B3);
    }
    _mm512_storeu_si512(pEnd, XA);
    _mm512_storeu_si512(pEnd + 16, XB);
    if (!Check)
        return 0;
    _mm512_storeu_si512(pLastSum, TA);
    _mm512_storeu_si512(pLastSum + 16, TB);
    const uint32_t MaskA = _mm512_cmpeq_epi32_mask(FaultA, Two);
    const uint32_t MaskB = _mm512_cmpeq_epi32_mask(FaultB, Two);
    return MaskA | (MaskB << 16);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// The first pass, as LowBitsPortable: the rows as the lanes load them,
// XORed, then transposed once at the end (BlockWords is a multiple of 4).
CSUM_TARGET_SSE2 uint32_t LowBitsSse2(const uint8_t* p, size_t BlockWords)
{
    const size_t Stride = 4 * BlockWords;
    __m128i X[8];
    for (unsigned k = 0; k < 8; k++)
        X[k] = _mm_setzero_si128();
    for (size_t i = 0; i < BlockWords; i += 4, p += 16)
        for (unsigned k = 0; k < 8; k++)
            X[k] = _mm_xor_si128(X[k], _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k * Stride)));
    CSUM_TRANSPOSE4(_mm, X[0], X[1], X[2], X[3]);
    CSUM_TRANSPOSE4(_mm, X[4], X[5], X[6], X[7]);
    const __m128i A = _mm_xor_si128(_mm_xor_si128(X[0], X[1]), _mm_xor_si128(X[2], X[3]));
    const __m128i B = _mm_xor_si128(_mm_xor_si128(X[4], X[5]), _mm_xor_si128(X[6], X[7]));
    return (uint32_t)_mm_movemask_ps(_mm_castsi128_ps(_mm_slli_epi32(A, 31))) |
           ((uint32_t)_mm_movemask_ps(_mm_castsi128_ps(_mm_slli_epi32(B, 31))) << 4);
}

CSUM_TARGET_AVX2 uint32_t LowBitsAvx2(const uint8_t* p, size_t BlockWords)
{
    const size_t Stride = 4 * BlockWords;
    __m256i X[8];
    for (unsigned k = 0; k < 8; k++)
        X[k] = _mm256_setzero_si256();
    for (size_t i = 0; i < BlockWords; i += 4, p += 16)
    {
        for (unsigned k = 0; k < 8; k++)
        {
            const unsigned Lane = (k & 3) + (k & 4) * 2;  // rows as in LanesAvx2
            X[k] = _mm256_xor_si256(X[k], RowAvx2(p, Stride, Lane));
        }
    }
    CSUM_TRANSPOSE4(_mm256, X[0], X[1], X[2], X[3]);
    CSUM_TRANSPOSE4(_mm256, X[4], X[5], X[6], X[7]);
    const __m256i A = _mm256_xor_si256(_mm256_xor_si256(X[0], X[1]), _mm256_xor_si256(X[2], X[3]));
    const __m256i B = _mm256_xor_si256(_mm256_xor_si256(X[4], X[5]), _mm256_xor_si256(X[6], X[7]));
    return (uint32_t)_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_slli_epi32(A, 31))) |
           ((uint32_t)_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_slli_epi32(B, 31))) << 8);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
CSUM_TARGET_AVX512 uint32_t LowBitsAvx512(const uint8_t* p, size_t BlockWords)
{
    const size_t Stride = 4 * BlockWords;
    __m512i X[8];
    for (unsigned k = 0; k < 8; k++)
        X[k] = _mm512_setzero_si512();
    for (size_t i = 0; i < BlockWords; i += 4, p += 16)
    {
        for (unsigned k = 0; k < 8; k++)
        {
            const unsigned Lane = (k & 3) + (k & 4) * 4;  // rows as in LanesAvx512
            X[k] = _mm512_xor_si512(X[k], RowAvx512(p, Stride, Lane));
        }
    }
    CSUM_TRANSPOSE4(_mm512, X[0], X[1], X[2], X[3]);
    CSUM_TRANSPOSE4(_mm512, X[4], X[5], X[6], X[7]);
    const __m512i A = _mm512_xor_si512(_mm512_xor_si512(X[0], X[1]), _mm512_xor_si512(X[2], X[3]));
    const __m512i B = _mm512_xor_si512(_mm512_xor_si512(X[4], X[5]), _mm512_xor_si512(X[6], X[7]));
    const __m512i One = _mm512_set1_epi32(1);
    return (uint32_t)_mm512_test_epi32_mask(A, One) |
           ((uint32_t)_mm512_test_epi32_mask(B, One) << 16);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif  // CSUM_X86

struct CLanePath
{
    const char* pName;
    unsigned Lanes;
    PFN_LANES pfnPredict;  // pass 2: from the parity bits, no check
    PFN_LANES pfnRun;      // pass 3: from the true starts, checked
    size_t (*pfnCountZeros)(const uint8_t* p, size_t NumWords);
    PFN_LOW_BITS pfnLowBits;  // pass 1
};

size_t CountZeroWordsPortable(const uint8_t* p, size_t NumWords)
{
    return CountZeroWords(p, NumWords);
}

const CLanePath kPaths[FoldPathCount] = {
    {"portable", 4, LanesPortable<false>, LanesPortable<true>, CountZeroWordsPortable,
     LowBitsPortable},
#if CSUM_X86
    {"sse2", 8, LanesSse2<false>, LanesSse2<true>, CountZeroWordsSse2, LowBitsSse2},
    {"avx2", 16, LanesAvx2<false>, LanesAvx2<true>, CountZeroWordsAvx2, LowBitsAvx2},
    {"avx512", 32, LanesAvx512<false>, LanesAvx512<true>, CountZeroWordsAvx2, LowBitsAvx512},
#else
    {"sse2", 4, nullptr, nullptr, nullptr, nullptr},
    {"avx2", 4, nullptr, nullptr, nullptr, nullptr},
    {"avx512", 4, nullptr, nullptr, nullptr, nullptr},
#endif
};

std::atomic<int> CurrentPath(-1);  // chosen on first use

unsigned LowestBit(uint32_t Mask)
{
    unsigned i = 0;
    while (!(Mask & 1u))
    {
        Mask >>= 1;
        i++;
    }
    return i;
}

// One group of Lanes blocks of Block words from a steady state. Returns the
// number of words folded: all of them, or the blocks before the first lane
// that left the steady state plus that block, folded exactly.
size_t FoldGroup(const CLanePath& Path, CWordFold& Fold, const uint8_t* p, size_t Block)
{
    const unsigned Lanes = Path.Lanes;
    const size_t Stride = 4 * Block;
    // Every lane in use is written before it is read; clearing the arrays
    // would cost a short group more than its first pass.
    uint32_t Parity[kMaxLanes], Start[kMaxLanes], End[kMaxLanes], LastSum[kMaxLanes];

    // Pass 1: each step flips the parity and adds the word's low bit (Block
    // is even, so the flips cancel over a block).
    const uint32_t LowBits = Path.pfnLowBits(p, Block);
    uint32_t Bit = Fold.Checksum & 1u;
    unsigned k = 0;
    do  // Lanes is at least 4
    {
        Parity[k] = Bit;
        Bit ^= (LowBits >> k) & 1u;
    } while (++k < Lanes);

    // Pass 2: F(parity) per block, then the chain of true starts.
    Path.pfnPredict(p, Block, Parity, End, LastSum);
    const uint32_t Scale = PowerOf3(Block);
    uint32_t C = Fold.Checksum;
    for (unsigned k = 0; k < Lanes; k++)
    {
        Start[k] = C;
        C = Scale * (C - Parity[k]) + End[k];
    }

    // Pass 3: the same blocks from their true starts, checked.
    const uint32_t Left = Path.pfnRun(p, Block, Start, End, LastSum);
    const unsigned Good = Left != 0 ? LowestBit(Left) : Lanes;
    if (Good != 0)
    {
        Fold.Checksum = End[Good - 1];
        Fold.ChecksumHi = LastSum[Good - 1] ^ 1u;
        Fold.ChecksumLo = LastSum[Good - 1] ^ 0x80000000u;
    }
    if (Left == 0)
    {
        Fold.Fallbacks = 0;
        return Lanes * Block;
    }
    FoldSerial(Fold, p + Good * Stride, Block);
    if (Fold.Fallbacks < 64)
        Fold.Fallbacks++;
    if (Fold.Fallbacks >= 2)
    {
        const uint32_t Shift = Fold.Fallbacks - 2 < kMaxBackoffShift ? Fold.Fallbacks - 2
                                                                     : kMaxBackoffShift;
        Fold.SerialWordsLeft = (uint32_t)(kGroupWords << Shift);
    }
    return (Good + 1) * Block;
}

}  // namespace

void FoldWords(CWordFold& Fold, const uint8_t* p, size_t NumWords)
{
    const EFoldPath Chosen = GetFoldPath();
    // 32 lanes on a short run make short blocks, whose fixed costs outweigh
    // the wider lanes: such runs go to the AVX2 lanes.
    const CLanePath& Path =
        kPaths[Chosen == FoldAvx512 && NumWords < kGroupWords / 2 ? FoldAvx2 : Chosen];
    const size_t MaxBlock = kGroupWords / Path.Lanes;
    while (NumWords != 0)
    {
        if ((Fold.Checksum | Fold.ChecksumHi | Fold.ChecksumLo) == 0)
        {
            // An all-zero state stays all-zero under zero words.
            const size_t Zeros = Path.pfnCountZeros(p, NumWords);
            p += 4 * Zeros;
            NumWords -= Zeros;
            if (NumWords == 0)
                break;
        }
        size_t Block = NumWords / Path.Lanes;
        if (Block > MaxBlock)
            Block = MaxBlock;
        Block &= ~(size_t)3;
        const bool Steady = Fold.ChecksumHi != 0 && Fold.ChecksumLo != 0;
        size_t Done;
        if (Fold.SerialWordsLeft != 0)
        {
            Done = NumWords < Fold.SerialWordsLeft ? NumWords : Fold.SerialWordsLeft;
            Fold.SerialWordsLeft -= (uint32_t)Done;
            FoldSerial(Fold, p, Done);
        }
        else if (Block < kMinBlockWords)
        {
            Done = NumWords;  // too short for lanes
            FoldSerial(Fold, p, Done);
        }
        else if (!Steady)
        {
            Done = 1;  // the steady state follows within a word or two
            FoldSerial(Fold, p, Done);
        }
        else
        {
            Done = FoldGroup(Path, Fold, p, Block);
        }
        p += 4 * Done;
        NumWords -= Done;
    }
}

bool IsFoldPathSupported(EFoldPath Path)
{
    switch (Path)
    {
    case FoldPortable:
        return true;
#if CSUM_X86
    case FoldSse2:
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse2");
    case FoldAvx2:
        // Also asks whether the operating system saves the AVX registers.
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
               __builtin_cpu_supports("bmi2");
    case FoldAvx512:
        // Also asks whether the operating system saves the AVX-512 registers.
        __builtin_cpu_init();
        return IsFoldPathSupported(FoldAvx2) && __builtin_cpu_supports("popcnt") &&
               __builtin_cpu_supports("pclmul") &&
               __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2");
#endif
    default:
        return false;
    }
}

EFoldPath GetFoldPath()
{
    int Path = CurrentPath.load(std::memory_order_relaxed);
    if (Path < 0)
    {
        Path = IsFoldPathSupported(FoldAvx512) ? FoldAvx512
               : IsFoldPathSupported(FoldAvx2) ? FoldAvx2
               : IsFoldPathSupported(FoldSse2) ? FoldSse2
                                               : FoldPortable;
        CurrentPath.store(Path, std::memory_order_relaxed);
    }
    return (EFoldPath)Path;
}

bool SetFoldPath(EFoldPath Path)
{
    if (Path < 0 || Path >= FoldPathCount || !IsFoldPathSupported(Path))
        return false;
    CurrentPath.store(Path, std::memory_order_relaxed);
    return true;
}

const char* GetFoldPathName(EFoldPath Path)
{
    return Path >= 0 && Path < FoldPathCount ? kPaths[Path].pName : "unknown";
}

size_t GetFoldBlockWords(EFoldPath Path)
{
    return Path >= 0 && Path < FoldPathCount ? kGroupWords / kPaths[Path].Lanes : 0;
}

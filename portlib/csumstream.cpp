// csumstream.cpp: the byte-level print-stream checksum.
//
// The result must be exactly what feeding the bytes one at a time through the
// scanner and the word packer gives, field for field, after every write. To
// be fast the engine never looks at every byte in a loop with branches:
//   - header recognition looks for "%!" sixteen or thirty-two bytes at a
//     time, in chunks that are folded while they are still in the cache;
//   - the PostScript scanner works on 64-byte blocks: vector compares give
//     one bit mask for each byte that matters ("(" ")" "%" LF FF and the
//     backslash), the escaped bytes follow from the backslash mask with
//     integer arithmetic, and a usual block is scanned whole in one pass of
//     bit operations (being in a string is the prefix XOR of the
//     parentheses; a "%" outside a string opens a comment that carries run
//     to its line end). That pass is worked out for eight blocks at once in
//     vector lanes, for each usual state a block can start in, and the scan
//     then looks up where each block's state leads. Other blocks go comment
//     by comment, or from one byte that matters to the next, without
//     branches on the data. The counted bytes of each block go to a staging
//     buffer: with AVX-512 compressed in one instruction, otherwise run by
//     run with fixed-size moves;
//   - runs of counted bytes (a whole plain write, or a full staging buffer)
//     go to csumfold, which folds whole words in vector lanes.
// The vector parts are chosen at run time with the fold's path (csumfold.h),
// so that one build runs on any x86 processor.
#include "csumstream.h"

#include "csumfold.h"

#include <string.h>

#include "csumsimd.h"

namespace {

const char kPostscriptID[] = "%!PS-Adobe";  // compared over its 10 characters
const size_t kIDLength = 10;
const size_t kTailLength = kIDLength - 1;   // carried between writes

inline unsigned LowestBit64(uint64_t Mask)
{
#if defined(__GNUC__) || defined(__clang__)
    return (unsigned)__builtin_ctzll(Mask);
#else
    unsigned i = 0;
    while (!(Mask & 1u))
    {
        Mask >>= 1;
        i++;
    }
    return i;
#endif
}

const size_t kBlock = 64;                        // bytes per bit mask
const size_t kStageBytes = 16384;                // counted bytes gathered before they are folded
const size_t kPrefetchAhead = 1024;              // bytes ahead of the scan asked for

// For one 64-byte block, bit i standing for byte i: where the bytes that
// matter to the scanner are.
struct CBlockMasks
{
    uint64_t Opens;        // "("
    uint64_t Closes;       // ")"
    uint64_t Percents;     // "%"
    uint64_t LineEnds;     // line feed or form feed
    uint64_t Backslashes;
};

inline CBlockMasks MasksPortable(const uint8_t* p)
{
    CBlockMasks Masks = {};
    for (unsigned i = 0; i < kBlock; i++)
    {
        const uint64_t Bit = (uint64_t)1 << i;
        switch (p[i])
        {
        case '(':
            Masks.Opens |= Bit;
            break;
        case ')':
            Masks.Closes |= Bit;
            break;
        case '%':
            Masks.Percents |= Bit;
            break;
        case '\n':
        case '\f':
            Masks.LineEnds |= Bit;
            break;
        case '\\':
            Masks.Backslashes |= Bit;
            break;
        default:
            break;
        }
    }
    return Masks;
}

#if CSUM_X86

CSUM_TARGET_SSE2 inline CBlockMasks MasksSse2(const uint8_t* p)
{
    CBlockMasks Masks = {};
    for (unsigned k = 0; k < kBlock / 16; k++)
    {
        const __m128i V = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
#define CSUM_BITS(c) ((uint64_t)(uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(V, _mm_set1_epi8(c))) << (16 * k))
        Masks.Opens |= CSUM_BITS('(');
        Masks.Closes |= CSUM_BITS(')');
        Masks.Percents |= CSUM_BITS('%');
        Masks.LineEnds |= CSUM_BITS('\n') | CSUM_BITS('\f');
        Masks.Backslashes |= CSUM_BITS('\\');
#undef CSUM_BITS
    }
    return Masks;
}

CSUM_TARGET_AVX2 inline CBlockMasks MasksAvx2(const uint8_t* p)
{
    CBlockMasks Masks = {};
    for (unsigned k = 0; k < kBlock / 32; k++)
    {
        const __m256i V = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
#define CSUM_BITS(c) \
    ((uint64_t)(uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(V, _mm256_set1_epi8(c))) << (32 * k))
        Masks.Opens |= CSUM_BITS('(');
        Masks.Closes |= CSUM_BITS(')');
        Masks.Percents |= CSUM_BITS('%');
        Masks.LineEnds |= CSUM_BITS('\n') | CSUM_BITS('\f');
        Masks.Backslashes |= CSUM_BITS('\\');
#undef CSUM_BITS
    }
    return Masks;
}

// A block in one load; each mask is one compare into a mask register.
CSUM_TARGET_AVX512 inline CBlockMasks MasksAvx512(const uint8_t* p)
{
    const __m512i V = _mm512_loadu_si512(p);
#define CSUM_BITS(c) (uint64_t)_mm512_cmpeq_epi8_mask(V, _mm512_set1_epi8(c))
    return {CSUM_BITS('('), CSUM_BITS(')'), CSUM_BITS('%'), CSUM_BITS('\n') | CSUM_BITS('\f'),
            CSUM_BITS('\\')};
#undef CSUM_BITS
}
#endif  // CSUM_X86

// The masks of the block at p, on a path.
template <int Path>
__attribute__((always_inline)) inline CBlockMasks MasksOf(const uint8_t* p)
{
#if CSUM_X86
    if constexpr (Path == FoldAvx512)
        return MasksAvx512(p);
    if constexpr (Path == FoldAvx2)
        return MasksAvx2(p);
    if constexpr (Path == FoldSse2)
        return MasksSse2(p);
#endif
    return MasksPortable(p);
}

// The bytes that a backslash escapes: those right after a run of backslashes
// of odd length. Carry is 1 when the byte before the block is such a
// backslash, and is set for the next block. Only inside a string does an
// escape matter; there every run of backslashes starts inside the string
// (a string opens with "("), so counting the run from its first backslash is
// exactly the byte-at-a-time flag.
inline uint64_t EscapedBytes(uint64_t Backslashes, uint64_t& Carry)
{
    const uint64_t EvenBits = 0x5555555555555555ull, OddBits = ~EvenBits;
    const uint64_t Starts = Backslashes & ~(Backslashes << 1);
    const uint64_t EvenStartMask = EvenBits ^ Carry;  // a run carried in counts as odd
    const uint64_t EvenStarts = Starts & EvenStartMask;
    const uint64_t OddStarts = Starts & ~EvenStartMask;
    const uint64_t EvenCarries = Backslashes + EvenStarts;
    uint64_t OddCarries = Backslashes + OddStarts;
    const uint64_t CarryOut = OddCarries < Backslashes ? 1u : 0u;  // an odd run reaches bit 63
    OddCarries |= Carry;
    Carry = CarryOut;
    const uint64_t EvenCarryEnds = EvenCarries & ~Backslashes;
    const uint64_t OddCarryEnds = OddCarries & ~Backslashes;
    return (EvenCarryEnds & OddBits) | (OddCarryEnds & EvenBits);
}

// Bit i set where an odd number of the bits 0..i of Mask are set.
inline uint64_t PrefixXor(uint64_t Mask)
{
    Mask ^= Mask << 1;
    Mask ^= Mask << 2;
    Mask ^= Mask << 4;
    Mask ^= Mask << 8;
    Mask ^= Mask << 16;
    Mask ^= Mask << 32;
    return Mask;
}

#if CSUM_X86
// The same in one carry-less multiply by all ones.
CSUM_TARGET_AVX512 inline uint64_t PrefixXorClmul(uint64_t Mask)
{
    const __m128i Product =
        _mm_clmulepi64_si128(_mm_set_epi64x(0, (long long)Mask), _mm_set1_epi8(-1), 0);
    uint64_t Result;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&Result), Product);  // also on i686
    return Result;
}
#endif

template <int Path>
__attribute__((always_inline)) inline uint64_t PrefixXorFor(uint64_t Mask)
{
#if CSUM_X86
    if constexpr (Path == FoldAvx512)
        return PrefixXorClmul(Mask);
#endif
    return PrefixXor(Mask);
}

// The scanner's state, and the offsets in the current block at which being
// in a comment flips: at the "%" that opens one and just after the line end
// that closes it (64 when that is the block's last byte).
struct CScan
{
    uint32_t Depth;
    uint32_t Comment;
    size_t NumFlips;
    uint16_t Flips[kBlock + 1];
};

// One block, byte by byte over the bytes that
// matter, without branches on the data. Handles everything.
void ScanBlockEvents(CScan& Scan, const CBlockMasks& Masks, uint64_t Escaped)
{
    uint32_t D = Scan.Depth, C = Scan.Comment;
    size_t NumFlips = Scan.NumFlips;
    uint64_t Events = Masks.Opens | Masks.Closes | Masks.Percents | Masks.LineEnds;
    while (Events != 0)
    {
        const unsigned i = LowestBit64(Events);
        Events &= Events - 1;
        const uint32_t IsEscaped = (uint32_t)(Escaped >> i) & 1u;
        const uint32_t IsOpen = (uint32_t)(Masks.Opens >> i) & 1u;
        const uint32_t IsClose = (uint32_t)(Masks.Closes >> i) & 1u;
        const uint32_t IsPercent = (uint32_t)(Masks.Percents >> i) & 1u;
        const uint32_t IsLineEnd = (uint32_t)(Masks.LineEnds >> i) & 1u;
        const uint32_t InString = D != 0;
        const uint32_t Free = C ^ 1u;
        // Outside strings a backslash does not stop "(" from opening one.
        const uint32_t Opens = IsOpen & Free & ((IsEscaped & InString) ^ 1u);
        const uint32_t Closes = IsClose & Free & InString & (IsEscaped ^ 1u);
        const uint32_t Starts = IsPercent & Free & (InString ^ 1u);
        const uint32_t Ends = IsLineEnd & C;
        D += Opens - Closes;
        C ^= Starts | Ends;
        Scan.Flips[NumFlips] = (uint16_t)(i + Ends);
        NumFlips += Starts | Ends;
    }
    Scan.Depth = D;
    Scan.Comment = C;
    Scan.NumFlips = NumFlips;
}

// What follows in a block from the way of being in a string at its start,
// for ScanBlockWhole: Invert set for a string open at depth 1 (or a count
// that starts odd), CarryIn for a nested string open (depth 2). Being in a
// string and the nested strings are found as in ScanBlockMasks, but for the
// whole block, comments included; a "%" outside a string then opens a
// comment up to the next line end.
struct CWholeWay
{
    uint64_t Flipped, Nested, InNested, InString, Starts;
    uint64_t CommentOut;  // 1 when a comment runs on into the next block
    uint64_t DepthAtEnd;  // the depth after the last byte, were it code
};

inline CWholeWay FollowWay(uint64_t Flips, uint64_t Opens, uint64_t Gaps, uint64_t Percents,
                           uint64_t Lines, uint64_t Invert, uint64_t CarryIn)
{
    CWholeWay Way;
    Way.Flipped = Flips ^ Invert;
    Way.Nested = Opens & ~Way.Flipped;
    // The carries of the sum run from each nested "(" to the next
    // parenthesis, its ")".
    const uint64_t Reach = Gaps + (Way.Nested << 1) + CarryIn;
    Way.InNested = Gaps ^ Reach;
    Way.InString = Way.Flipped | Way.Nested | Way.InNested;
    Way.Starts = Percents & ~Way.InString;
    // Carries from each "%" run to its line end; one that runs out of the
    // block is a comment that goes on.
    Way.CommentOut = Lines + Way.Starts < Lines ? 1u : 0u;
    // A nested string open at the end adds one to the string it is in.
    const uint64_t NestedOut = (Way.Nested >> 63) | (Reach < Gaps ? 1u : 0u);
    Way.DepthAtEnd = (Way.InString >> 63) + NestedOut;
    return Way;
}

// The usual block in one pass: strings nested at most two deep and no
// comment that ends in the block holding parentheses that would change being
// in a string after it. That is exact where the parentheses inside each
// comment that ends in the block leave the count even (being in a string is
// clear after the comment as it was before it) and no nested string runs
// across the comment's line end; a comment open at the block's start needs
// no such check, as the count starts afresh after it. Those and the unusual
// bytes in code are checked. Returns false, changing nothing, when the block
// is not like that; otherwise the state after it and, in InComment, the bytes
// left out.
template <int Path>
__attribute__((always_inline)) inline bool ScanBlockWhole(uint32_t& Depth, uint32_t& Comment, uint64_t& InComment,
                           const CBlockMasks& Masks, uint64_t Escaped)
{
    const uint64_t Opens = Masks.Opens & ~Escaped, EscapedOpens = Masks.Opens & Escaped;
    const uint64_t Closes = Masks.Closes & ~Escaped;
    const uint64_t Parens = Opens | Closes, Gaps = ~Parens, Lines = ~Masks.LineEnds;
    const uint64_t Flips = PrefixXorFor<Path>(Parens);
    // After a comment open at the start, the count starts afresh.
    const unsigned FirstEnd = LowestBit64(Masks.LineEnds | ((uint64_t)1 << 63));
    const uint64_t OddAtFirstEnd = (Flips >> FirstEnd) & 1u;
    const uint64_t AllComment = Masks.LineEnds == 0 ? 1u : 0u;  // when one is open

    const uint32_t D = Depth, C = Comment;
    if (D > 2)
        return false;
    // Arithmetic, not branches, on the way from one block to the next.
    const uint64_t CommentMask = (uint64_t)0 - C;
    const uint64_t Invert = (uint64_t)0 - ((OddAtFirstEnd & CommentMask) | ((D & 1u) & ~CommentMask));
    const CWholeWay Way =
        FollowWay(Flips, Opens, Gaps, Masks.Percents, Lines, Invert, D >> 1);
    if (D != 0 && C != 0)
        return false;  // only from fields set by hand

    // Each comment: from the first "%" outside a string, or from the
    // block's start when one is open, up to and including the line end.
    const uint64_t Starts = Way.Starts | C;
    const uint64_t Filled = Lines + Starts;
    const uint64_t Comments = (Filled ^ Lines) | Starts;
    const uint64_t InString = Way.InString, Nested = Way.Nested;
    const uint64_t NestedEnds = Way.InNested & Parens;
    const uint64_t Unusual = (Opens & ~Nested & ~InString) | (Closes & ~NestedEnds & InString) |
                             (EscapedOpens & ~InString) | (NestedEnds & Opens);
    const uint64_t Ends = Masks.LineEnds & Comments;
    const uint64_t CountedEnds = Ends & ~(((uint64_t)1 << FirstEnd) & ((uint64_t)0 - C));
    if ((Unusual & ~Comments) != 0 || (Way.Flipped & CountedEnds) != 0 ||
        (Way.InNested & Ends) != 0)
        return false;

    const uint32_t CommentOut = (uint32_t)(Way.CommentOut | (C & AllComment));
    InComment = Comments;
    Comment = CommentOut;
    Depth = (uint32_t)Way.DepthAtEnd & (CommentOut - 1u);
    return true;
}

// One block with whole masks at once, for the usual case: strings nested at
// most two deep, every "(" in code unescaped and every ")" closing a string.
// Then, between comments, being in a string flips at each "(" and ")" but
// those of the inner strings, and a "%" not in a string opens a comment.
// Returns false, changing nothing, when the block is not like that (all that
// is checked is the part before the first comment of each stretch).
bool ScanBlockMasks(CScan& Scan, const CBlockMasks& Masks, uint64_t Escaped)
{
    if (Scan.Depth > 1)
        return false;
    uint32_t D = Scan.Depth;
    size_t NumFlips = Scan.NumFlips;
    const uint64_t Opens = Masks.Opens & ~Escaped, EscapedOpens = Masks.Opens & Escaped;
    const uint64_t Closes = Masks.Closes & ~Escaped;
    const uint64_t Parens = Opens | Closes, Gaps = ~Parens;
    // Being in a string flips at each parenthesis: counted once for the
    // block, and for a stretch that starts at byte s, flipped as a whole
    // when the count before s is odd.
    const uint64_t Flips = PrefixXor(Parens);
    uint64_t Invert = D ? ~(uint64_t)0 : 0;
    uint64_t From = ~(uint64_t)0;  // the bytes not yet scanned
    if (Scan.Comment)
    {
        if (Masks.LineEnds == 0)
            return true;  // all comment
        const unsigned End = LowestBit64(Masks.LineEnds);
        Scan.Flips[NumFlips++] = (uint16_t)(End + 1);
        From = (~(uint64_t)1) << End;
        Invert ^= (uint64_t)0 - ((Flips >> End) & 1u);
    }
    while (From != 0)
    {
        // Only the bits in From are meaningful below.
        const uint64_t Flipped = Flips ^ Invert;
        // A string nested in another (depth 2) is a "(" that the flips put
        // outside a string, up to the next parenthesis, its ")". The carries
        // of the sum run from each such "(" to that parenthesis.
        const uint64_t Nested = Opens & From & ~Flipped;
        const uint64_t Reach = Gaps + (Nested << 1);
        if ((Nested >> 63) != 0 || Reach < Gaps)
            return false;  // a nested string goes on into the next block
        const uint64_t NestedEnds = Reach & Parens;
        // The flips are clear from such a "(" to its ")", and set there.
        const uint64_t InString = Flipped | Nested | (Gaps ^ Reach);
        // Then the first "%" in code opens a comment.
        const uint64_t CodePercents = Masks.Percents & From & ~InString;
        const uint64_t Upto = CodePercents ? (CodePercents - 1) & From : From;
        const uint64_t Unusual = (Opens & ~Nested & ~InString) | (Closes & ~NestedEnds & InString) |
                                 (EscapedOpens & ~InString) | (NestedEnds & Opens);
        if (Unusual & Upto)
            return false;
        if (CodePercents == 0)
        {
            D = (uint32_t)(InString >> 63);
            break;
        }
        const unsigned Start = LowestBit64(CodePercents);
        Scan.Flips[NumFlips++] = (uint16_t)Start;
        D = 0;
        const uint64_t Ends = Masks.LineEnds & ((~(uint64_t)1) << Start);
        if (Ends == 0)
        {
            Scan.Depth = 0;
            Scan.Comment = 1;
            Scan.NumFlips = NumFlips;
            return true;
        }
        const unsigned End = LowestBit64(Ends);
        Scan.Flips[NumFlips++] = (uint16_t)(End + 1);
        From = (~(uint64_t)1) << End;
        Invert = (uint64_t)0 - ((Flips >> End) & 1u);
    }
    Scan.Depth = D;
    Scan.Comment = 0;
    Scan.NumFlips = NumFlips;
    return true;
}

// Folds counted bytes, as if each went through the word packer.
void FoldBytes(CChecksumStream& Stream, const uint8_t* p, size_t cbBytes)
{
    // Complete a word left over from earlier bytes.
    while (Stream.NumBytesInBuffer != 0 && cbBytes != 0)
    {
        Stream.ByteBuffer |= (uint32_t)*p++ << (8 * Stream.NumBytesInBuffer);
        cbBytes--;
        if (++Stream.NumBytesInBuffer == 4)
        {
            Stream.AddToChecksum(Stream.ByteBuffer);
            Stream.ByteBuffer = 0;
            Stream.NumBytesInBuffer = 0;
        }
    }

    if (cbBytes >= 4)
    {
        CWordFold Fold = {Stream.Checksum, Stream.ChecksumHi, Stream.ChecksumLo,
                          Stream.FoldFallbacks, Stream.FoldSerialWordsLeft};
        FoldWords(Fold, p, cbBytes / 4);
        Stream.Checksum = Fold.Checksum;
        Stream.ChecksumHi = Fold.ChecksumHi;
        Stream.ChecksumLo = Fold.ChecksumLo;
        Stream.FoldFallbacks = Fold.Fallbacks;
        Stream.FoldSerialWordsLeft = Fold.SerialWordsLeft;
        p += cbBytes & ~(size_t)3;
        cbBytes &= 3;
    }

    // The rest starts a new word (ByteBuffer is empty here).
    for (uint32_t i = 0; i < cbBytes; i++)
        Stream.ByteBuffer |= (uint32_t)p[i] << (8 * i);
    Stream.NumBytesInBuffer += (uint32_t)cbBytes;
}

// Folds a run of counted bytes and shows it to the observer.
void FoldRun(CChecksumStream& Stream, const uint8_t* p, size_t cbBytes)
{
    if (cbBytes == 0)
        return;
    if (Stream.pfnCounted)
        Stream.pfnCounted(Stream.pCountedContext, p, cbBytes);
    FoldBytes(Stream, p, cbBytes);
}

// The counted bytes of PostScript lie between comments and are often short.
// They are gathered in a staging buffer and folded together, so that the word
// folder gets runs long enough for its lanes. Packing words is the same
// whether bytes arrive together or apart, so only the order matters. The
// observer sees each run whole: pieces that follow each other in the write
// are joined. The scanner hands the counted bytes over block by block
// (AddBlock); with an observer, run by run (Add). The buffer is the caller's,
// so that nothing here needs to live in memory and the fields stay in
// registers.
class CCountedStage
{
public:
    // Room for kStageBytes and the whole-block moves past them.
    static const size_t kBufferBytes = kStageBytes + 2 * kBlock;

    // pEnd is the end of the write the bytes come from.
    CCountedStage(CChecksumStream& Stream, const uint8_t* pEnd, uint8_t* pBuffer)
        : Stream(Stream), pEnd(pEnd), pBytes(pBuffer), cbUsed(0), pRun(nullptr), cbRun(0)
    {
    }

    void Add(const uint8_t* p, size_t cbBytes)
    {
        if (Stream.pfnCounted && cbBytes != 0)
        {
            if (p != pRun + cbRun)
                ShowRun();
            if (cbRun == 0)
                pRun = p;
            cbRun += cbBytes;
        }
        if (cbBytes >= kStageBytes / 2)
        {
            Flush();  // long enough on its own
            FoldBytes(Stream, p, cbBytes);
            return;
        }
        if (cbUsed + cbBytes > kStageBytes)
            Flush();
        memcpy(pBytes + cbUsed, p, cbBytes);
        cbUsed += cbBytes;
    }

    // The counted bytes of the block at p: bit i of Counted for byte i.
    void AddBlock(const uint8_t* p, uint64_t Counted)
    {
        uint64_t Changes = Counted ^ (Counted << 1);  // where runs start and end
        if (Stream.pfnCounted || (size_t)(pEnd - p) < 2 * kBlock)
        {
            // By runs: for the observer, or near the end of the write, where
            // not a byte more may be read.
            while (Changes != 0)
            {
                const unsigned Start = LowestBit64(Changes);
                Changes &= Changes - 1;
                const unsigned End = Changes != 0 ? LowestBit64(Changes) : (unsigned)kBlock;
                Changes &= Changes - 1;
                Add(p + Start, End - Start);
            }
            return;
        }
        if (cbUsed >= kStageBytes)
            Flush();
        // Moves of a whole block's size, from any byte of this one, stay in
        // the write and in the buffer. The first run is moved whether or not
        // there is one (a missing one moves nothing that counts).
        do
        {
            const unsigned Start = Offset(Changes);
            Changes &= Changes - 1;
            const unsigned End = Offset(Changes);
            Changes &= Changes - 1;
            memcpy(pBytes + cbUsed, p + Start, kBlock);
            cbUsed += End - Start;
        } while (Changes != 0);
    }

#if CSUM_X86
    // AddBlock in two instructions: the counted bytes of the block at p,
    // whose bytes are at pData, compressed to the front of a vector. (The
    // scanner has just read the same bytes, so this read is no new one.)
    CSUM_TARGET_AVX512 void AddBlockCompressed(const uint8_t* p, const uint8_t* pData,
                                               uint64_t Counted)
    {
        if (Stream.pfnCounted)
        {
            AddBlock(p, Counted);
            return;
        }
        if (cbUsed >= kStageBytes)
            Flush();
        _mm512_storeu_si512(pBytes + cbUsed,
                            _mm512_maskz_compress_epi8(Counted, _mm512_loadu_si512(pData)));
        cbUsed += (size_t)__builtin_popcountll(Counted);
    }
#endif

    // Every field is exact again once the write's last run is flushed.
    void End()
    {
        ShowRun();
        Flush();
    }

private:
    void Flush()
    {
        if (cbUsed != 0)
            FoldBytes(Stream, pBytes, cbUsed);
        cbUsed = 0;
    }

    void ShowRun()
    {
        if (cbRun != 0)
            Stream.pfnCounted(Stream.pCountedContext, pRun, cbRun);
        cbRun = 0;
    }

    // The lowest bit of a block's Changes, or the block's end when none.
    static unsigned Offset(uint64_t Changes)
    {
        return LowestBit64(Changes | ((uint64_t)1 << 63)) + (Changes == 0 ? 1u : 0u);
    }

    CChecksumStream& Stream;
    const uint8_t* pEnd;
    uint8_t* pBytes;
    size_t cbUsed;
    const uint8_t* pRun;  // the run the observer has not seen yet
    size_t cbRun;
};

// The backslash flag after a write that ends inside a string (or inside a
// comment while a string is open, a state only fields set by hand can hold):
// there a backslash escapes the next byte unless it is itself escaped.
int32_t FlagAfterString(const uint8_t* p, size_t cbBuffer, int32_t PrevFlag)
{
    size_t Trailing = 0;  // backslashes at the end of the write
    while (Trailing < cbBuffer && p[cbBuffer - 1 - Trailing] == '\\')
        Trailing++;
    const bool Before = Trailing < cbBuffer ? false : PrevFlag != 0;
    return ((Trailing & 1) != 0) != Before;
}

// What a block leaves: the scanner's state after it, and its bytes left out.
struct CBlockEnd
{
    uint32_t Depth;
    uint32_t Comment;
    uint64_t InComment;
};

// A block that ScanBlockWhole does not take: comment by comment, or from one
// byte that matters to the next. Everything goes by value, so that the usual
// blocks keep theirs in registers.
__attribute__((noinline)) CBlockEnd ScanBlockSlowly(uint32_t Depth, uint32_t Comment,
                                                    CBlockMasks Masks, uint64_t Escaped)
{
    CScan Scan;
    Scan.Depth = Depth;
    Scan.Comment = Comment;
    Scan.NumFlips = 0;
    if (!ScanBlockMasks(Scan, Masks, Escaped))
        ScanBlockEvents(Scan, Masks, Escaped);
    // Being in a comment flips at each flip noted (twice at one byte when a
    // comment starts right after another).
    uint64_t FlipBits = 0;
    for (size_t k = 0; k < Scan.NumFlips; k++)
        FlipBits ^= Scan.Flips[k] < kBlock ? (uint64_t)1 << Scan.Flips[k] : 0;
    return {Scan.Depth, Scan.Comment, PrefixXor(FlipBits) ^ ((uint64_t)0 - Comment)};
}

// What the scanner carries from one block to the next.
struct CScanState
{
    uint32_t Depth;
    uint32_t Comment;
    uint64_t EscapeCarry;
};

// Stages the Counted bytes of the block at pBlock, whose bytes are at pData.
template <int Path>
__attribute__((always_inline)) inline void StageBlock(CCountedStage& Stage, const uint8_t* pBlock,
                                                      const uint8_t* pData, uint64_t Counted)
{
#if CSUM_X86
    if constexpr (Path == FoldAvx512)
    {
        Stage.AddBlockCompressed(pBlock, pData, Counted);
        return;
    }
#endif
    (void)pData;
    Stage.AddBlock(pBlock, Counted);
}

// One block at pBlock, whose bytes are at pData: its masks, the bytes left
// out, and the counted ones staged. Valid has a bit for each byte of the
// block that is in the write.
template <int Path>
__attribute__((always_inline)) inline void ScanOneBlock(CScanState& State, CCountedStage& Stage,
                                                        const uint8_t* pBlock,
                                                        const uint8_t* pData, uint64_t Valid)
{
    const CBlockMasks Masks = MasksOf<Path>(pData);
    const uint64_t Escaped = EscapedBytes(Masks.Backslashes, State.EscapeCarry);
    uint64_t InComment;
    if (!ScanBlockWhole<Path>(State.Depth, State.Comment, InComment, Masks, Escaped))
    {
        const CBlockEnd End = ScanBlockSlowly(State.Depth, State.Comment, Masks, Escaped);
        State.Depth = End.Depth;
        State.Comment = End.Comment;
        InComment = End.InComment;
    }
    StageBlock<Path>(Stage, pBlock, pData, ~InComment & Valid);
}

// Blocks side by side. What ScanBlockWhole finds in a block depends on the
// state the block starts in; for the usual starts (in code, in a string, in
// a comment, no escape carried in) it is worked out for a batch of blocks
// at once, in vector lanes, and the scan then only looks up, block after
// block, where its state leads. A block whose state is not one of those, or
// that ScanBlockWhole would not take, goes the ordinary way. The arithmetic
// is ScanBlockWhole's and EscapedBytes', lane for lane; GCC's vector
// extensions compile it for each path's instruction set.
const size_t kBatchBlocks = 8;
typedef uint64_t VBlocks __attribute__((vector_size(8 * kBatchBlocks)));

// The state between blocks as one code: depth 0, 1 or 2 outside comments,
// or 3 in a comment; kOtherState for any other (the fields say which).
const uint64_t kInComment = 3, kOtherState = 4;

struct CBatch
{
    uint64_t Opens[kBatchBlocks], Closes[kBatchBlocks], Percents[kBatchBlocks],
        LineEnds[kBatchBlocks], Backslashes[kBatchBlocks];
    // By the code of the state a block starts in: the bytes left out, and
    // the code after it, or kOtherState or more when the block must go
    // the ordinary way (always from depth 2, which is not worked out).
    uint64_t InComment[4][kBatchBlocks];
    uint64_t Next[4][kBatchBlocks];
    uint64_t EscapeOut[kBatchBlocks];  // EscapedBytes' carry, none coming in
};

// Macros rather than functions: vectors this wide are not passed between
// functions, whatever the instruction set.
#define CSUM_LOAD_BLOCKS(v, p) memcpy(&(v), (p), sizeof(VBlocks))
// 1 in the lanes where x is not zero.
#define CSUM_NON_ZERO(x) (((x) | (0 - (x))) >> 63)
// The carry out of Sum = a + b, as 0 or 1.
#define CSUM_CARRY_OUT(a, b, Sum) ((((a) & (b)) | (((a) | (b)) & ~(Sum))) >> 63)

__attribute__((always_inline)) inline void WorkOutBatch(CBatch& Batch)
{
    VBlocks Opens0, Closes0, Percents, LineEnds, Backslashes;
    CSUM_LOAD_BLOCKS(Opens0, Batch.Opens);
    CSUM_LOAD_BLOCKS(Closes0, Batch.Closes);
    CSUM_LOAD_BLOCKS(Percents, Batch.Percents);
    CSUM_LOAD_BLOCKS(LineEnds, Batch.LineEnds);
    CSUM_LOAD_BLOCKS(Backslashes, Batch.Backslashes);
    const uint64_t EvenBits = 0x5555555555555555ull, OddBits = ~EvenBits;

    // EscapedBytes with no carry in.
    const VBlocks Starts0 = Backslashes & ~(Backslashes << 1);
    const VBlocks EvenStarts = Starts0 & EvenBits, OddStarts = Starts0 & OddBits;
    const VBlocks EvenCarries = Backslashes + EvenStarts, OddCarries = Backslashes + OddStarts;
    const VBlocks EscapeOut = CSUM_CARRY_OUT(Backslashes, OddStarts, OddCarries);
    memcpy(Batch.EscapeOut, &EscapeOut, sizeof EscapeOut);
    const VBlocks Escaped =
        ((EvenCarries & ~Backslashes) & OddBits) | ((OddCarries & ~Backslashes) & EvenBits);

    // ScanBlockWhole, first what does not depend on the state.
    const VBlocks Opens = Opens0 & ~Escaped, EscapedOpens = Opens0 & Escaped;
    const VBlocks Closes = Closes0 & ~Escaped;
    const VBlocks Parens = Opens | Closes, Gaps = ~Parens, Lines = ~LineEnds;
    VBlocks Flips = Parens;
    for (unsigned Shift = 1; Shift < 64; Shift *= 2)
        Flips ^= Flips << Shift;
    const VBlocks FirstEnd = LineEnds & (0 - LineEnds);
    const VBlocks OddAtFirstEnd = 0 - CSUM_NON_ZERO(Flips & FirstEnd);
    const VBlocks AllComment = 1 - CSUM_NON_ZERO(LineEnds);

    // Then for each usual start: in code, in a string, in a comment.
    const uint64_t kCodes[3] = {0, 1, kInComment};
    for (unsigned k = 0; k < 3; k++)
    {
        const uint64_t Code = kCodes[k];
        const bool InComment = Code == kInComment;
        const VBlocks Invert = InComment ? OddAtFirstEnd : (VBlocks{} + (uint64_t)0 - Code);
        const VBlocks Flipped = Flips ^ Invert;
        const VBlocks Nested = Opens & ~Flipped;
        const VBlocks Shifted = Nested << 1;
        const VBlocks Reach = Gaps + Shifted;
        const VBlocks InNested = Gaps ^ Reach;
        const VBlocks InString = Flipped | Nested | InNested;
        const VBlocks WayStarts = Percents & ~InString;
        VBlocks CommentOut = CSUM_CARRY_OUT(Lines, WayStarts, Lines + WayStarts);
        const VBlocks DepthAtEnd =
            (InString >> 63) + ((Nested >> 63) | CSUM_CARRY_OUT(Gaps, Shifted, Reach));
        const VBlocks Starts = WayStarts | (InComment ? 1u : 0u);
        const VBlocks Comments = ((Lines + Starts) ^ Lines) | Starts;
        const VBlocks NestedEnds = InNested & Parens;
        const VBlocks Unusual = (Opens & ~Nested & ~InString) |
                                (Closes & ~NestedEnds & InString) |
                                (EscapedOpens & ~InString) | (NestedEnds & Opens);
        const VBlocks Ends = LineEnds & Comments;
        // (From a comment, Flipped is clear at the first line end, so that
        // end needs no leaving out here.)
        const VBlocks Bad = (Unusual & ~Comments) | (Flipped & Ends) | (InNested & Ends);
        if (InComment)
            CommentOut |= AllComment;
        const VBlocks Next = (DepthAtEnd & (CommentOut - 1)) | (CommentOut * kInComment) |
                             (CSUM_NON_ZERO(Bad) * kOtherState);
        memcpy(Batch.InComment[Code], &Comments, sizeof Comments);
        memcpy(Batch.Next[Code], &Next, sizeof Next);
    }
}

#undef CSUM_LOAD_BLOCKS
#undef CSUM_NON_ZERO
#undef CSUM_CARRY_OUT

// The code of a state, or kOtherState.
inline uint64_t StateCode(const CScanState& State)
{
    if (State.Comment != 0)
        return State.Depth == 0 ? kInComment : kOtherState;
    return State.Depth <= 2 ? State.Depth : kOtherState;
}

// kBatchBlocks whole blocks at p.
template <int Path>
__attribute__((always_inline)) inline void ScanBatch(CScanState& State, uint64_t& Code,
                                                     CCountedStage& Stage, CBatch& Batch,
                                                     const uint8_t* p)
{
    for (size_t b = 0; b < kBatchBlocks; b++)
    {
        const uint8_t* pBlock = p + b * kBlock;
#if CSUM_X86
        // The hardware prefetcher alone does not run far enough ahead of
        // the scan. (A prefetch never faults.)
        _mm_prefetch(reinterpret_cast<const char*>(pBlock) + kPrefetchAhead, _MM_HINT_T0);
#endif
        const CBlockMasks Masks = MasksOf<Path>(pBlock);
        Batch.Opens[b] = Masks.Opens;
        Batch.Closes[b] = Masks.Closes;
        Batch.Percents[b] = Masks.Percents;
        Batch.LineEnds[b] = Masks.LineEnds;
        Batch.Backslashes[b] = Masks.Backslashes;
    }
    WorkOutBatch(Batch);
    for (size_t b = 0; b < kBatchBlocks; b++)
    {
        const uint8_t* pBlock = p + b * kBlock;
        const uint64_t Start = State.EscapeCarry == 0 ? Code : kOtherState;
        const uint64_t Next = Start < kOtherState ? Batch.Next[Start][b] : kOtherState;
        if (Next < kOtherState)
        {
            StageBlock<Path>(Stage, pBlock, pBlock, ~Batch.InComment[Start][b]);
            Code = Next;
            State.EscapeCarry = Batch.EscapeOut[b];
            continue;
        }
        if (Code < kOtherState)
        {
            State.Depth = Code == kInComment ? 0 : (uint32_t)Code;
            State.Comment = Code == kInComment ? 1u : 0u;
        }
        ScanOneBlock<Path>(State, Stage, pBlock, pBlock, ~(uint64_t)0);
        Code = StateCode(State);
    }
}

// Runs the PostScript scanner over one write and folds what it counts. One
// copy per path, so that each is compiled for its instruction set whole.
template <int Path>
__attribute__((always_inline)) inline void ScanPostscriptWith(CChecksumStream& Stream,
                                                              const uint8_t* p, size_t cbBuffer)
{
    uint8_t Staged[CCountedStage::kBufferBytes];
    CCountedStage Stage(Stream, p + cbBuffer, Staged);
    CScanState State = {Stream.InPostscriptString, Stream.InPostscriptComment != 0 ? 1u : 0u,
                        Stream.PrevCharIsBackslash != 0 ? 1u : 0u};
    const size_t NumBlocks = cbBuffer / kBlock;
    size_t b = 0;
    if constexpr (Path != FoldPortable)
    {
        CBatch Batch;
        for (size_t k = 0; k < kBatchBlocks; k++)
            Batch.Next[2][k] = kOtherState;  // depth 2 is not worked out
        uint64_t Code = StateCode(State);
        for (; b + kBatchBlocks <= NumBlocks; b += kBatchBlocks)
            ScanBatch<Path>(State, Code, Stage, Batch, p + b * kBlock);
        if (Code < kOtherState)
        {
            State.Depth = Code == kInComment ? 0 : (uint32_t)Code;
            State.Comment = Code == kInComment ? 1u : 0u;
        }
    }
    for (; b < NumBlocks; b++)
    {
        const uint8_t* pBlock = p + b * kBlock;
#if CSUM_X86
        // The hardware prefetcher alone does not run far enough ahead of
        // the scan. (A prefetch never faults.)
        if constexpr (Path != FoldPortable)
            _mm_prefetch(reinterpret_cast<const char*>(pBlock) + kPrefetchAhead, _MM_HINT_T0);
#endif
        ScanOneBlock<Path>(State, Stage, pBlock, pBlock, ~(uint64_t)0);
    }
    const size_t cbLast = cbBuffer % kBlock;
    if (cbLast != 0)
    {
        // The last, short block: zero bytes after the end matter to nobody.
        uint8_t Padded[kBlock] = {};
        memcpy(Padded, p + NumBlocks * kBlock, cbLast);
        ScanOneBlock<Path>(State, Stage, p + NumBlocks * kBlock, Padded,
                           ((uint64_t)1 << cbLast) - 1);
    }
    Stage.End();

    // The flag left by the last byte: outside strings every backslash sets it.
    Stream.PrevCharIsBackslash = State.Depth != 0
                                     ? FlagAfterString(p, cbBuffer, Stream.PrevCharIsBackslash)
                                     : p[cbBuffer - 1] == '\\';
    Stream.InPostscriptString = State.Depth;
    Stream.InPostscriptComment = (int32_t)State.Comment;
}

void ScanPostscriptPortable(CChecksumStream& Stream, const uint8_t* p, size_t cbBuffer)
{
    ScanPostscriptWith<FoldPortable>(Stream, p, cbBuffer);
}

#if CSUM_X86
CSUM_TARGET_SSE2 void ScanPostscriptSse2(CChecksumStream& Stream, const uint8_t* p, size_t cbBuffer)
{
    ScanPostscriptWith<FoldSse2>(Stream, p, cbBuffer);
}

CSUM_TARGET_AVX2 void ScanPostscriptAvx2(CChecksumStream& Stream, const uint8_t* p, size_t cbBuffer)
{
    ScanPostscriptWith<FoldAvx2>(Stream, p, cbBuffer);
}

CSUM_TARGET_AVX512 void ScanPostscriptAvx512(CChecksumStream& Stream, const uint8_t* p,
                                             size_t cbBuffer)
{
    ScanPostscriptWith<FoldAvx512>(Stream, p, cbBuffer);
}

typedef void (*PFN_SCAN)(CChecksumStream& Stream, const uint8_t* p, size_t cbBuffer);
const PFN_SCAN kScanPostscript[FoldPathCount] = {ScanPostscriptPortable, ScanPostscriptSse2,
                                                 ScanPostscriptAvx2, ScanPostscriptAvx512};
#endif

void ScanPostscript(CChecksumStream& Stream, const uint8_t* p, size_t cbBuffer)
{
#if CSUM_X86
    kScanPostscript[GetFoldPath()](Stream, p, cbBuffer);
#else
    ScanPostscriptPortable(Stream, p, cbBuffer);
#endif
}

// Header recognition at the positions inside the carried tail. The tail
// obeys C-string rules (it was cut at any zero byte), so these positions are
// compared against the tail joined with the new bytes exactly as
// strcat/strncmp would see them.
bool FindHeaderInTail(const CChecksumStream& Stream, const uint8_t* p, size_t cbBuffer,
                      size_t OldLength)
{
    if (OldLength == 0 || cbBuffer + OldLength < kTailLength)
        return false;
    char Possible[2 * kTailLength + 2];
    memcpy(Possible, Stream.pOldBuffer, OldLength);
    Possible[OldLength] = 0;
    strncat(Possible, reinterpret_cast<const char*>(p),
            cbBuffer < kTailLength ? cbBuffer : kTailLength);
    for (size_t i = 0; i < OldLength; i++)
        if (Possible[i] == '%' && strncmp(Possible + i, kPostscriptID, kIDLength) == 0)
            return true;
    return false;
}

// Scanning 64 bytes at a time from i while i + 64 <= To (reading one byte
// more), the offset of the first "%" followed by "!", with *pFound set; or,
// with *pFound clear, the offset where the scan stopped. Such a pair is rare
// in any data, so a whole header rarely needs comparing.
#if CSUM_X86
CSUM_TARGET_AVX2 size_t ScanPercentBangAvx2(const uint8_t* p, size_t i, size_t To, bool* pFound)
{
    const __m256i Percent = _mm256_set1_epi8('%'), Bang = _mm256_set1_epi8('!');
    for (; i + 64 <= To; i += 64)
    {
        uint64_t Mask = 0;
        for (unsigned k = 0; k < 2; k++)
        {
            const __m256i A = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32 * k));
            const __m256i B =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32 * k + 1));
            Mask |= (uint64_t)(uint32_t)_mm256_movemask_epi8(_mm256_and_si256(
                        _mm256_cmpeq_epi8(A, Percent), _mm256_cmpeq_epi8(B, Bang)))
                    << (32 * k);
        }
        if (Mask)
        {
            *pFound = true;
            return i + LowestBit64(Mask);
        }
    }
    *pFound = false;
    return i;
}

CSUM_TARGET_SSE2 size_t ScanPercentBangSse2(const uint8_t* p, size_t i, size_t To, bool* pFound)
{
    const __m128i Percent = _mm_set1_epi8('%'), Bang = _mm_set1_epi8('!');
    for (; i + 64 <= To; i += 64)
    {
        __m128i Pairs[4];
        for (unsigned k = 0; k < 4; k++)
        {
            const __m128i A = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16 * k));
            const __m128i B = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16 * k + 1));
            Pairs[k] = _mm_and_si128(_mm_cmpeq_epi8(A, Percent), _mm_cmpeq_epi8(B, Bang));
        }
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(Pairs[0], Pairs[1]),
                                           _mm_or_si128(Pairs[2], Pairs[3]))) == 0)
            continue;  // the usual case
        uint64_t Mask = 0;
        for (unsigned k = 0; k < 4; k++)
            Mask |= (uint64_t)(uint32_t)_mm_movemask_epi8(Pairs[k]) << (16 * k);
        *pFound = true;
        return i + LowestBit64(Mask);
    }
    *pFound = false;
    return i;
}
#endif

// Whether a whole header starts at a position in [From, To) of the cbBuffer
// bytes at p. The header holds no zero byte, so memcmp agrees with strncmp
// on equality.
bool FindHeaderIn(const uint8_t* p, size_t cbBuffer, size_t From, size_t To)
{
    if (cbBuffer < kIDLength)
        return false;
    if (To > cbBuffer - kIDLength + 1)
        To = cbBuffer - kIDLength + 1;  // past the last possible start
    size_t i = From;
#if CSUM_X86
    // To <= cbBuffer - 9 keeps the scan's reads inside the buffer.
    const EFoldPath Path = GetFoldPath();  // the processor has what it names
    while (Path != FoldPortable)
    {
        bool Found;
        i = Path >= FoldAvx2 ? ScanPercentBangAvx2(p, i, To, &Found)
                             : ScanPercentBangSse2(p, i, To, &Found);
        if (!Found)
            break;
        if (memcmp(p + i, kPostscriptID, kIDLength) == 0)
            return true;
        i++;
    }
#endif
    while (i < To)
    {
        const void* pHit = memchr(p + i, '%', To - i);
        if (!pHit)
            return false;
        i = (size_t)(static_cast<const uint8_t*>(pHit) - p);
        if (memcmp(p + i, kPostscriptID, kIDLength) == 0)
            return true;
        i++;
    }
    return false;
}

// Plain data, searched for the header and folded in chunks that stay in the
// cache, so that the data is read from memory once. When a header turns up,
// the whole write is PostScript: the fields go back to what they were when
// the write began and true is returned.
bool FoldUnlessHeader(CChecksumStream& Stream, const uint8_t* p, size_t cbBuffer)
{
    const size_t kChunk = 64 * 1024;
    const CChecksumStream Saved = Stream;
    for (size_t At = 0; At < cbBuffer; At += kChunk)
    {
        const size_t cbChunk = cbBuffer - At < kChunk ? cbBuffer - At : kChunk;
        if (FindHeaderIn(p, cbBuffer, At, At + cbChunk))
        {
            Stream = Saved;
            return true;
        }
        FoldRun(Stream, p + At, cbChunk);
    }
    return false;
}

// Keeps the last 9 characters of tail + new bytes with the C-string rules
// the recognition relies on (strncat / strncpy / memmove; bytes behind the
// terminator are zero).
void UpdateTail(CChecksumStream& Stream, const uint8_t* p, size_t cbBuffer, size_t OldLength)
{
    char* pTail = Stream.pOldBuffer;
    const char* pText = reinterpret_cast<const char*>(p);
    if (cbBuffer + OldLength < kTailLength)
    {
        strncat(pTail, pText, cbBuffer);
    }
    else if (cbBuffer >= kTailLength)
    {
        strncpy(pTail, pText + cbBuffer - kTailLength, kTailLength);
    }
    else
    {
        const size_t Keep = kTailLength - cbBuffer;
        memmove(pTail, pTail + OldLength - Keep, Keep);
        strncpy(pTail + Keep, pText, cbBuffer);
    }
}

}  // namespace

CChecksumStream::CChecksumStream() : pfnCounted(nullptr), pCountedContext(nullptr)
{
    Reset();
}

void CChecksumStream::Reset()
{
    Checksum = 0;
    ChecksumHi = 0;
    ChecksumLo = 0;
    ByteBuffer = 0;
    NumBytesInBuffer = 0;
    IsPostscript = 0;
    InPostscriptComment = 0;
    InPostscriptString = 0;
    PrevCharIsBackslash = 0;
    memset(pOldBuffer, 0, sizeof pOldBuffer);
    FoldFallbacks = 0;
    FoldSerialWordsLeft = 0;
}

void CChecksumStream::Write(const uint8_t* pBuffer, uint32_t cbBufferSize)
{
    // An empty write changes nothing (every step below is a no-op for it).
    if (cbBufferSize == 0)
        return;
    const size_t cbBuffer = cbBufferSize;
    const void* pNul = memchr(pOldBuffer, 0, kTailLength);
    const size_t OldLength =
        pNul ? (size_t)(static_cast<const char*>(pNul) - pOldBuffer) : kTailLength;

    // Recognition counts for this whole write, bytes before the header too.
    if (!IsPostscript && FindHeaderInTail(*this, pBuffer, cbBuffer, OldLength))
        IsPostscript = 1;
    if (!IsPostscript)
    {
        // The observer must see only what counts, so it gets a search first.
        if (pfnCounted ? FindHeaderIn(pBuffer, cbBuffer, 0, cbBuffer)
                       : FoldUnlessHeader(*this, pBuffer, cbBuffer))
            IsPostscript = 1;
        else if (pfnCounted)
            FoldRun(*this, pBuffer, cbBuffer);  // plain data: every byte counts
    }
    if (IsPostscript)
        ScanPostscript(*this, pBuffer, cbBuffer);

    UpdateTail(*this, pBuffer, cbBuffer, OldLength);
}

void CChecksumStream::AddToChecksum(uint32_t ValueToAdd)
{
    // The old Hi and Lo collapse to a single bit each; they are not rotated.
    Checksum += ValueToAdd;
    ChecksumHi = (ChecksumHi != 0 ? 1u : 0u) ^ Checksum;
    ChecksumLo = (ChecksumLo != 0 ? 0x80000000u : 0u) ^ Checksum;
    Checksum += ChecksumHi + ChecksumLo;
}

uint32_t CChecksumStream::Finish()
{
    // A short last word is folded with its missing high bytes zero; the word
    // buffer itself is left as it is.
    if (NumBytesInBuffer != 0)
        AddToChecksum(ByteBuffer);
    Checksum += ChecksumHi + ChecksumLo;
    return Checksum;
}

// csumstream.cpp: the byte-level print-stream checksum.
//
// The result must be exactly what feeding the bytes one at a time through the
// scanner and the word packer gives, field for field, after every write. To
// be fast the engine never looks at every byte in a loop with branches:
//   - header recognition looks for "%!" sixteen bytes at a time, in chunks
//     that are folded while they are still in the cache;
//   - the PostScript scanner jumps straight to the next byte that can change
//     its state (code: "%" "(";  comment: LF FF;  string: "(" ")" "\"),
//     found through one bit mask per state for each 64 bytes;
//   - runs of counted bytes go to csumfold, which folds whole words in
//     vector lanes.
#include "csumstream.h"

#include "csumfold.h"

#include <string.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

const char kPostscriptID[] = "%!PS-Adobe";  // compared over its 10 characters
const size_t kIDLength = 10;
const size_t kTailLength = kIDLength - 1;   // carried between writes

// What the scanner looks for in each state; every other byte leaves the
// scanner fields as they are (the backslash flag aside, which only matters
// right after a backslash and is worked out where needed).
enum Wanted { kInCode, kInString, kInComment };

inline unsigned LowestBit64(uint64_t m)
{
#if defined(__GNUC__) || defined(__clang__)
    return (unsigned)__builtin_ctzll(m);
#else
    unsigned i = 0;
    while (!(m & 1u)) {
        m >>= 1;
        i++;
    }
    return i;
#endif
}

const size_t kBlock = 64;

// For the 64 bytes at p, one bit mask per state: bit i set where p[i] is a
// byte that state looks for.
inline void WantedMasks(const uint8_t* p, uint64_t masks[3])
{
#if defined(__SSE2__)
    const __m128i open = _mm_set1_epi8('('), close = _mm_set1_epi8(')'),
                  percent = _mm_set1_epi8('%'), backslash = _mm_set1_epi8('\\'),
                  lf = _mm_set1_epi8('\n'), ff = _mm_set1_epi8('\f');
    masks[0] = masks[1] = masks[2] = 0;
    for (unsigned k = 0; k < kBlock / 16; k++) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const __m128i isOpen = _mm_cmpeq_epi8(v, open);
        const __m128i code = _mm_or_si128(isOpen, _mm_cmpeq_epi8(v, percent));
        const __m128i string = _mm_or_si128(
            isOpen, _mm_or_si128(_mm_cmpeq_epi8(v, close), _mm_cmpeq_epi8(v, backslash)));
        const __m128i comment = _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, ff));
        masks[kInCode] |= (uint64_t)(uint32_t)_mm_movemask_epi8(code) << (16 * k);
        masks[kInString] |= (uint64_t)(uint32_t)_mm_movemask_epi8(string) << (16 * k);
        masks[kInComment] |= (uint64_t)(uint32_t)_mm_movemask_epi8(comment) << (16 * k);
    }
#else
    uint64_t code = 0, string = 0, comment = 0;
    for (unsigned i = 0; i < kBlock; i++) {
        const uint64_t bit = (uint64_t)1 << i;
        switch (p[i]) {
        case '(':
            code |= bit;
            string |= bit;
            break;
        case '%':
            code |= bit;
            break;
        case ')':
        case '\\':
            string |= bit;
            break;
        case '\n':
        case '\f':
            comment |= bit;
            break;
        default:
            break;
        }
    }
    masks[kInCode] = code;
    masks[kInString] = string;
    masks[kInComment] = comment;
#endif
}

// Finds, in order, the bytes of a buffer that the scanner's current state
// looks for, working from three 64-byte masks at a time.
class WantedFinder
{
public:
    WantedFinder(const uint8_t* p, size_t n) : p_(p), n_(n), block_(0), valid_(false) {}

    // Offset of the first byte at or after i that `state` looks for, or n.
    size_t Next(size_t i, int state)
    {
        while (i < n_) {
            if (!valid_ || i - block_ >= kBlock) {
                block_ = i;
                valid_ = true;
                if (n_ - i >= kBlock) {
                    WantedMasks(p_ + i, masks_);
                } else {
                    uint8_t last[kBlock] = {};  // a zero byte is never looked for
                    memcpy(last, p_ + i, n_ - i);
                    WantedMasks(last, masks_);
                }
            }
            const uint64_t m = masks_[state] >> (i - block_);
            if (m)
                return i + LowestBit64(m);
            i = block_ + kBlock;
        }
        return n_;
    }

private:
    const uint8_t* p_;
    size_t n_;
    size_t block_;  // offset of the block the masks describe
    uint64_t masks_[3] = {};
    bool valid_;
};

// Folds counted bytes, as if each went through the word packer.
void FoldBytes(CChecksumStream& s, const uint8_t* p, size_t n)
{
    // Complete a word left over from earlier bytes.
    while (s.NumBytesInBuffer != 0 && n != 0) {
        s.ByteBuffer |= (uint32_t)*p++ << (8 * s.NumBytesInBuffer);
        n--;
        if (++s.NumBytesInBuffer == 4) {
            s.AddToChecksum(s.ByteBuffer);
            s.ByteBuffer = 0;
            s.NumBytesInBuffer = 0;
        }
    }

    if (n >= 4) {
        CWordFold fold = {s.Checksum, s.ChecksumHi, s.ChecksumLo, s.FoldFallbacks,
                          s.FoldSerialWordsLeft};
        FoldWords(fold, p, n / 4);
        s.Checksum = fold.Checksum;
        s.ChecksumHi = fold.ChecksumHi;
        s.ChecksumLo = fold.ChecksumLo;
        s.FoldFallbacks = fold.Fallbacks;
        s.FoldSerialWordsLeft = fold.SerialWordsLeft;
        p += n & ~(size_t)3;
        n &= 3;
    }

    // The rest starts a new word (ByteBuffer is empty here).
    for (uint32_t i = 0; i < n; i++)
        s.ByteBuffer |= (uint32_t)p[i] << (8 * i);
    s.NumBytesInBuffer += (uint32_t)n;
}

// Folds a run of counted bytes and shows it to the observer.
void FoldRun(CChecksumStream& s, const uint8_t* p, size_t n)
{
    if (n == 0)
        return;
    if (s.pfnCounted)
        s.pfnCounted(s.pCountedContext, p, n);
    FoldBytes(s, p, n);
}

// The counted runs of PostScript lie between comments and are often short.
// They are gathered here and folded together, so that the word folder gets
// runs long enough for its lanes. Packing words is the same whether bytes
// arrive together or apart, so only the order matters.
class CountedStage
{
public:
    explicit CountedStage(CChecksumStream& s) : s_(s), used_(0) {}

    void Add(const uint8_t* p, size_t n)
    {
        if (n == 0)
            return;
        if (s_.pfnCounted)
            s_.pfnCounted(s_.pCountedContext, p, n);
        const bool isLong = n >= sizeof buffer_ / 2;  // folded on its own
        if (isLong || used_ + n > sizeof buffer_)
            Flush();
        if (isLong) {
            FoldBytes(s_, p, n);
            return;
        }
        memcpy(buffer_ + used_, p, n);
        used_ += n;
    }

    // Every field is exact again once the write's last run is flushed.
    void Flush()
    {
        FoldBytes(s_, buffer_, used_);
        used_ = 0;
    }

private:
    CChecksumStream& s_;
    size_t used_;
    uint8_t buffer_[8192];
};

// Flag after a write that starts and ends inside a comment while a string
// is open too, a state only fields set by hand can hold. Backslashes then
// toggle the flag as they do in a string.
int32_t FlagAfterCommentInString(const uint8_t* p, size_t n, int32_t prev)
{
    size_t k = 0;  // backslashes at the end of the write
    while (k < n && p[n - 1 - k] == '\\')
        k++;
    const bool before = k < n ? false : prev != 0;
    return ((k & 1) != 0) != before;
}

// Runs the PostScript scanner over one write and folds what it counts.
void ScanPostscript(CChecksumStream& s, const uint8_t* p, size_t n)
{
    WantedFinder finder(p, n);
    CountedStage stage(s);
    size_t i = 0;
    size_t run = 0;  // start of the current run of counted bytes
    uint32_t depth = s.InPostscriptString;
    bool comment = s.InPostscriptComment != 0;
    bool escapePending = false;  // the write ends on a backslash inside a string

    // The flag is consulted only inside a string: there it means the first
    // byte of this write is escaped and changes nothing.
    if (!comment && depth != 0 && s.PrevCharIsBackslash)
        i = 1;

    while (i < n) {
        if (comment) {
            // Left out up to and including a line feed or form feed; a
            // carriage return does not end a comment.
            i = finder.Next(i, kInComment);
            if (i == n)
                break;
            run = ++i;
            comment = false;
            s.InPostscriptComment = 0;
        } else if (depth == 0) {
            // Code: a backslash does not stop "(" here, ")" is just counted.
            i = finder.Next(i, kInCode);
            if (i == n)
                break;
            if (p[i++] == '%') {
                stage.Add(p + run, i - 1 - run);
                comment = true;
                s.InPostscriptComment = 1;
            } else {
                depth = 1;
            }
        } else {
            // String: "%" and line ends are text; "\" escapes the next byte.
            do {
                i = finder.Next(i, kInString);
                if (i == n)
                    break;
                const uint8_t c = p[i++];
                depth += (uint32_t)(c == '(') - (uint32_t)(c == ')');
                if (c == '\\') {
                    if (i == n) {
                        escapePending = true;
                        break;
                    }
                    i++;
                }
            } while (depth != 0);
        }
    }
    if (!comment)
        stage.Add(p + run, n - run);
    stage.Flush();

    // The flag left by the last byte.
    int32_t prev;
    if (comment && depth != 0)
        prev = FlagAfterCommentInString(p, n, s.PrevCharIsBackslash);
    else if (depth != 0 && !comment)
        prev = escapePending;
    else
        prev = p[n - 1] == '\\';
    s.InPostscriptString = depth;
    s.PrevCharIsBackslash = prev;
}

// Header recognition at the positions inside the carried tail. The tail
// obeys C-string rules (it was cut at any zero byte), so these positions are
// compared against the tail joined with the new bytes exactly as
// strcat/strncmp would see them.
bool FindHeaderInTail(const CChecksumStream& s, const uint8_t* p, size_t n, size_t oldLength)
{
    if (oldLength == 0 || n + oldLength < kTailLength)
        return false;
    char possible[2 * kTailLength + 2];
    memcpy(possible, s.pOldBuffer, oldLength);
    possible[oldLength] = 0;
    strncat(possible, reinterpret_cast<const char*>(p), n < kTailLength ? n : kTailLength);
    for (size_t i = 0; i < oldLength; i++)
        if (possible[i] == '%' && strncmp(possible + i, kPostscriptID, kIDLength) == 0)
            return true;
    return false;
}

// Scanning 64 bytes at a time from i while i + 64 <= to (reading one byte
// more), the offset of the first "%" followed by "!", with *pFound set; or,
// with *pFound clear, the offset where the scan stopped. Such a pair is rare
// in any data, so a whole header rarely needs comparing.
#if defined(__SSE2__)
__attribute__((target("avx2"))) size_t ScanPercentBangAvx2(const uint8_t* p, size_t i,
                                                            size_t to, bool* pFound)
{
    const __m256i percent = _mm256_set1_epi8('%'), bang = _mm256_set1_epi8('!');
    for (; i + 64 <= to; i += 64) {
        uint64_t m = 0;
        for (unsigned k = 0; k < 2; k++) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32 * k));
            const __m256i b =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32 * k + 1));
            m |= (uint64_t)(uint32_t)_mm256_movemask_epi8(
                     _mm256_and_si256(_mm256_cmpeq_epi8(a, percent), _mm256_cmpeq_epi8(b, bang)))
                 << (32 * k);
        }
        if (m) {
            *pFound = true;
            return i + LowestBit64(m);
        }
    }
    *pFound = false;
    return i;
}

size_t ScanPercentBangSse2(const uint8_t* p, size_t i, size_t to, bool* pFound)
{
    const __m128i percent = _mm_set1_epi8('%'), bang = _mm_set1_epi8('!');
    for (; i + 64 <= to; i += 64) {
        __m128i pairs[4];
        for (unsigned k = 0; k < 4; k++) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16 * k));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16 * k + 1));
            pairs[k] = _mm_and_si128(_mm_cmpeq_epi8(a, percent), _mm_cmpeq_epi8(b, bang));
        }
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(pairs[0], pairs[1]),
                                           _mm_or_si128(pairs[2], pairs[3]))) == 0)
            continue;  // the usual case
        uint64_t m = 0;
        for (unsigned k = 0; k < 4; k++)
            m |= (uint64_t)(uint32_t)_mm_movemask_epi8(pairs[k]) << (16 * k);
        *pFound = true;
        return i + LowestBit64(m);
    }
    *pFound = false;
    return i;
}
#endif

// Whether a whole header starts at a position in [from, to) of the n bytes
// at p. The header holds no zero byte, so memcmp agrees with strncmp on
// equality.
bool FindHeaderIn(const uint8_t* p, size_t n, size_t from, size_t to)
{
    if (n < kIDLength)
        return false;
    if (to > n - kIDLength + 1)
        to = n - kIDLength + 1;  // past the last possible start
    size_t i = from;
#if defined(__SSE2__)
    // to <= n - 9 keeps the scan's reads inside the buffer.
    const bool avx2 = GetFoldPath() == FoldAvx2;  // the processor has it
    for (;;) {
        bool found;
        i = avx2 ? ScanPercentBangAvx2(p, i, to, &found) : ScanPercentBangSse2(p, i, to, &found);
        if (!found)
            break;
        if (memcmp(p + i, kPostscriptID, kIDLength) == 0)
            return true;
        i++;
    }
#endif
    while (i < to) {
        const void* hit = memchr(p + i, '%', to - i);
        if (!hit)
            return false;
        i = (size_t)(static_cast<const uint8_t*>(hit) - p);
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
bool FoldUnlessHeader(CChecksumStream& s, const uint8_t* p, size_t n)
{
    const size_t kChunk = 64 * 1024;
    const CChecksumStream saved = s;
    for (size_t at = 0; at < n; at += kChunk) {
        const size_t len = n - at < kChunk ? n - at : kChunk;
        if (FindHeaderIn(p, n, at, at + len)) {
            s = saved;
            return true;
        }
        FoldRun(s, p + at, len);
    }
    return false;
}

// Keeps the last 9 characters of tail + new bytes with the C-string rules
// the recognition relies on (strncat / strncpy / memmove; bytes behind the
// terminator are zero).
void UpdateTail(CChecksumStream& s, const uint8_t* p, size_t n, size_t oldLength)
{
    char* tail = s.pOldBuffer;
    const char* text = reinterpret_cast<const char*>(p);
    if (n + oldLength < kTailLength) {
        strncat(tail, text, n);
    } else if (n >= kTailLength) {
        strncpy(tail, text + n - kTailLength, kTailLength);
    } else {
        const size_t keep = kTailLength - n;
        memmove(tail, tail + oldLength - keep, keep);
        strncpy(tail + keep, text, n);
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
    const size_t n = cbBufferSize;
    const void* nul = memchr(pOldBuffer, 0, kTailLength);
    const size_t oldLength = nul ? (size_t)(static_cast<const char*>(nul) - pOldBuffer)
                                 : kTailLength;

    // Recognition counts for this whole write, bytes before the header too.
    if (!IsPostscript && FindHeaderInTail(*this, pBuffer, n, oldLength))
        IsPostscript = 1;
    if (!IsPostscript) {
        // The observer must see only what counts, so it gets a search first.
        if (pfnCounted ? FindHeaderIn(pBuffer, n, 0, n) : FoldUnlessHeader(*this, pBuffer, n))
            IsPostscript = 1;
        else if (pfnCounted)
            FoldRun(*this, pBuffer, n);  // plain data: every byte counts
    }
    if (IsPostscript)
        ScanPostscript(*this, pBuffer, n);

    UpdateTail(*this, pBuffer, n, oldLength);
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

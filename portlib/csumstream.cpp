// csumstream.cpp: the byte-level print-stream checksum.
//
// The result must be exactly what feeding the bytes one at a time through the
// scanner and the word packer gives, field for field, after every write. To
// be fast the engine never looks at every byte in a loop with branches:
//   - header recognition jumps from "%" to "%" with memchr;
//   - the PostScript scanner jumps straight to the next byte that can change
//     its state (code: "%" "(";  comment: LF FF;  string: "(" ")" "\");
//   - runs of counted bytes are folded a 32-bit word at a time.
#include "csumstream.h"

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

const char kPostscriptID[] = "%!PS-Adobe";  // compared over its 10 characters
const size_t kIDLength = 10;
const size_t kTailLength = kIDLength - 1;   // carried between writes

inline uint32_t LoadLE32(const uint8_t* p)
{
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
#else
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
#endif
}

#if defined(__SSE2__)

inline unsigned LowestBit(unsigned m)
{
#if defined(__GNUC__) || defined(__clang__)
    return (unsigned)__builtin_ctz(m);
#else
    unsigned i = 0;
    while (!(m & 1u)) {
        m >>= 1;
        i++;
    }
    return i;
#endif
}

// First byte in [p, end) equal to a or b (or to c, in Find3); end if none.
inline const uint8_t* Find2(const uint8_t* p, const uint8_t* end, uint8_t a, uint8_t b)
{
    const __m128i va = _mm_set1_epi8((char)a), vb = _mm_set1_epi8((char)b);
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned m = (unsigned)_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)));
        if (m)
            return p + LowestBit(m);
        p += 16;
    }
    for (; p < end; ++p)
        if (*p == a || *p == b)
            break;
    return p;
}

inline const uint8_t* Find3(const uint8_t* p, const uint8_t* end, uint8_t a, uint8_t b,
                            uint8_t c)
{
    const __m128i va = _mm_set1_epi8((char)a), vb = _mm_set1_epi8((char)b),
                  vc = _mm_set1_epi8((char)c);
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)), _mm_cmpeq_epi8(v, vc));
        const unsigned m = (unsigned)_mm_movemask_epi8(hit);
        if (m)
            return p + LowestBit(m);
        p += 16;
    }
    for (; p < end; ++p)
        if (*p == a || *p == b || *p == c)
            break;
    return p;
}

#else  // portable: skip 4-byte groups that hold none of the wanted bytes

inline bool GroupHas(uint32_t w, uint8_t x)
{
    const uint32_t v = w ^ (0x01010101u * x);  // a zero byte where w holds x
    return ((v - 0x01010101u) & ~v & 0x80808080u) != 0;
}

inline const uint8_t* Find2(const uint8_t* p, const uint8_t* end, uint8_t a, uint8_t b)
{
    for (; end - p >= 4; p += 4) {
        uint32_t w;
        memcpy(&w, p, 4);
        if (GroupHas(w, a) || GroupHas(w, b))
            break;
    }
    for (; p < end; ++p)
        if (*p == a || *p == b)
            break;
    return p;
}

inline const uint8_t* Find3(const uint8_t* p, const uint8_t* end, uint8_t a, uint8_t b,
                            uint8_t c)
{
    for (; end - p >= 4; p += 4) {
        uint32_t w;
        memcpy(&w, p, 4);
        if (GroupHas(w, a) || GroupHas(w, b) || GroupHas(w, c))
            break;
    }
    for (; p < end; ++p)
        if (*p == a || *p == b || *p == c)
            break;
    return p;
}

#endif

// Folds a run of counted bytes, as if each went through the word packer.
void FoldRun(CChecksumStream& s, const uint8_t* p, size_t n)
{
    if (n == 0)
        return;
    if (s.pfnCounted)
        s.pfnCounted(s.pCountedContext, p, n);

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
        // AddToChecksum with Hi and Lo kept as the one bit each that the next
        // word reads from them:
        //   C1 = C + w;  Hi = C1 ^ hb;  Lo = C1 ^ (lb << 31);
        //   C  = C1 + Hi + Lo = 2*C1 + (C1 ^ hb ^ (lb << 31)),
        // since adding a lone bit 31 is the same as XORing it. That leaves
        // three dependent operations per word on C.
        uint32_t c = s.Checksum;
        uint32_t mix = (s.ChecksumHi != 0 ? 1u : 0u) | (s.ChecksumLo != 0 ? 0x80000000u : 0u);
        uint32_t c1 = 0, lastMix = 0;
        do {
            c1 = c + LoadLE32(p);
            lastMix = mix;
            c = 2 * c1 + (c1 ^ mix);
            mix = (c1 != (mix & 1u) ? 1u : 0u) | (c1 != (mix & 0x80000000u) ? 0x80000000u : 0u);
            p += 4;
            n -= 4;
        } while (n >= 4);
        s.Checksum = c;
        s.ChecksumHi = c1 ^ (lastMix & 1u);
        s.ChecksumLo = c1 ^ (lastMix & 0x80000000u);
    }

    // The rest starts a new word (ByteBuffer is empty here).
    for (uint32_t i = 0; i < n; i++)
        s.ByteBuffer |= (uint32_t)p[i] << (8 * i);
    s.NumBytesInBuffer += (uint32_t)n;
}

// Flag left by a run of bytes that ends inside a comment and whose last byte
// is at end[-1], the run starting at p. Within a comment a backslash sets the
// flag unless a string is open too (only possible if the fields were set by
// hand), when backslashes toggle it as they do in a string.
int32_t FlagAfterComment(const uint8_t* p, const uint8_t* end, uint32_t depth, int32_t prev)
{
    if (end[-1] != '\\')
        return 0;
    if (depth == 0)
        return 1;
    size_t k = 0;
    while (end - k > p && end[-1 - (ptrdiff_t)k] == '\\')
        k++;
    const int32_t before = (end - k > p) ? 0 : (prev ? 1 : 0);
    return (k & 1) ? !before : before;
}

// Runs the PostScript scanner over one write and folds what it counts.
void ScanPostscript(CChecksumStream& s, const uint8_t* p, size_t n)
{
    const uint8_t* cur = p;
    const uint8_t* const end = p + n;
    const uint8_t* run = p;  // start of the current run of counted bytes
    uint32_t depth = s.InPostscriptString;
    int32_t prev = s.PrevCharIsBackslash;

    while (cur < end) {
        if (s.InPostscriptComment) {
            // Nothing is counted up to and including the line feed or form
            // feed; a carriage return does not end a comment.
            const uint8_t* q = Find2(cur, end, '\n', '\f');
            if (q == end) {
                prev = FlagAfterComment(cur, end, depth, prev);
                cur = end;
                break;
            }
            s.InPostscriptComment = 0;
            prev = 0;
            cur = q + 1;
            run = cur;
        } else if (depth == 0) {
            // Code: the flag is never consulted here, so a backslash does not
            // keep "(" from opening a string; ")" is counted and ignored.
            const uint8_t* q = Find2(cur, end, '%', '(');
            if (q == end) {
                prev = end[-1] == '\\';
                cur = end;
                break;
            }
            if (*q == '%') {
                FoldRun(s, run, (size_t)(q - run));
                s.InPostscriptComment = 1;
            } else {
                depth = 1;
            }
            prev = 0;
            cur = q + 1;
        } else if (prev) {
            // Escaped: the byte after a backslash changes nothing but the flag.
            prev = 0;
            cur++;
        } else {
            // String: "%" is plain text here.
            const uint8_t* q = Find3(cur, end, '(', ')', '\\');
            if (q == end) {
                cur = end;
                break;
            }
            if (*q == '(')
                depth++;
            else if (*q == ')')
                depth--;
            else
                prev = 1;
            cur = q + 1;
        }
    }
    if (!s.InPostscriptComment)
        FoldRun(s, run, (size_t)(end - run));
    s.InPostscriptString = depth;
    s.PrevCharIsBackslash = prev;
}

// Header recognition for one write while the job is not yet PostScript.
// The carried tail obeys C-string rules (it was cut at any zero byte), so
// positions in it are compared against the tail joined with the new bytes
// exactly as strcat/strncmp would see them.
bool FindHeader(const CChecksumStream& s, const uint8_t* p, size_t n, size_t oldLength)
{
    if (oldLength != 0 && n + oldLength >= kTailLength) {
        char possible[2 * kTailLength + 2];
        memcpy(possible, s.pOldBuffer, oldLength);
        possible[oldLength] = 0;
        strncat(possible, reinterpret_cast<const char*>(p), n < kTailLength ? n : kTailLength);
        for (size_t i = 0; i < oldLength; i++)
            if (strncmp(possible + i, kPostscriptID, kIDLength) == 0)
                return true;
    }
    if (n < kIDLength)
        return false;
    // Whole headers inside the buffer: only a "%" can start one. The header
    // holds no zero byte, so memcmp agrees with strncmp on equality.
    const uint8_t* cur = p;
    const uint8_t* const last = p + (n - kIDLength);  // last possible start
    while (cur <= last) {
        const void* hit = memchr(cur, '%', (size_t)(last - cur) + 1);
        if (!hit)
            return false;
        cur = static_cast<const uint8_t*>(hit);
        if (memcmp(cur, kPostscriptID, kIDLength) == 0)
            return true;
        cur++;
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
    if (!IsPostscript && FindHeader(*this, pBuffer, n, oldLength))
        IsPostscript = 1;

    if (IsPostscript)
        ScanPostscript(*this, pBuffer, n);
    else
        FoldRun(*this, pBuffer, n);  // plain data: every byte counts

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

// Unit tests of CChecksumStream: known values, PostScript recognition and
// scanning, and agreement with the plain byte-at-a-time model.
#include <gtest/gtest.h>
#include <string.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "csumstream.h"
#include "plain_model.h"

using namespace std::string_literals;

namespace {

void Put(CChecksumStream& s, const std::string& bytes)
{
    s.Write(reinterpret_cast<const uint8_t*>(bytes.data()), (uint32_t)bytes.size());
}

// Checksum of a job sent as the given writes.
uint32_t Sum(const std::vector<std::string>& writes)
{
    CChecksumStream s;
    for (const std::string& w : writes)
        Put(s, w);
    return s.Finish();
}

// Every field a write can change, compared one by one.
template <class A, class B>
void ExpectSameFields(const A& a, const B& b)
{
    EXPECT_EQ(a.Checksum, b.Checksum);
    EXPECT_EQ(a.ChecksumHi, b.ChecksumHi);
    EXPECT_EQ(a.ChecksumLo, b.ChecksumLo);
    EXPECT_EQ(a.ByteBuffer, b.ByteBuffer);
    EXPECT_EQ(a.NumBytesInBuffer, b.NumBytesInBuffer);
    EXPECT_EQ(a.IsPostscript, b.IsPostscript);
    EXPECT_EQ(a.InPostscriptComment, b.InPostscriptComment);
    EXPECT_EQ(a.InPostscriptString, b.InPostscriptString);
    EXPECT_EQ(a.PrevCharIsBackslash, b.PrevCharIsBackslash);
    EXPECT_EQ(memcmp(a.pOldBuffer, b.pOldBuffer, 10), 0);
}

// The bytes folded as plain data, whatever they contain.
uint32_t PlainData(const std::string& bytes)
{
    CChecksumStream s;
    for (size_t i = 0; i < bytes.size(); i++) {
        s.ByteBuffer |= (uint32_t)(uint8_t)bytes[i] << (8 * (i % 4));
        if (i % 4 == 3) {
            s.AddToChecksum(s.ByteBuffer);
            s.ByteBuffer = 0;
        }
    }
    s.NumBytesInBuffer = bytes.size() % 4;
    return s.Finish();
}

// Checksum, ChecksumHi, ChecksumLo.
using Words = std::array<uint32_t, 3>;
Words WordsOf(const CChecksumStream& s) { return {s.Checksum, s.ChecksumHi, s.ChecksumLo}; }

const std::string kJob = "%!PS-Adobe-3.0\n(a%b) show\n";

// ---------------------------------------------------------------- values

TEST(ChecksumValues, EmptyJobAndZeroBytesGiveZero)
{
    EXPECT_EQ(Sum({}), 0u);
    EXPECT_EQ(Sum({""}), 0u);
    for (size_t n : {1, 3, 4, 5, 64, 1001})
        EXPECT_EQ(Sum({std::string(n, '\0')}), 0u) << n;
}

TEST(ChecksumValues, ShortLastWordIsFoldedAtFinish)
{
    EXPECT_EQ(Sum({"abc"}), 0x01F0EBE5u);
    EXPECT_EQ(Sum({"a", "b", "c"}), 0x01F0EBE5u);

    CChecksumStream s;
    Put(s, "abc");
    EXPECT_EQ(s.NumBytesInBuffer, 3u);
    EXPECT_EQ(s.ByteBuffer, 0x00636261u);
    EXPECT_EQ(s.Finish(), 32566245u);
    EXPECT_EQ(s.NumBytesInBuffer, 3u);  // left as it was
    EXPECT_EQ(s.ByteBuffer, 0x00636261u);
}

TEST(ChecksumValues, WordsAndIntermediateFields)
{
    CChecksumStream s;
    Put(s, "abcd");
    EXPECT_EQ(WordsOf(s), (Words{0x2D2A2723u, 0x64636261u, 0x64636261u}));
    EXPECT_EQ(s.NumBytesInBuffer, 0u);
    EXPECT_EQ(Sum({"abcd"}), 0xF5F0EBE5u);

    Put(s, "abcd");
    EXPECT_EQ(WordsOf(s), (Words{0x34A89C8Du, 0x918D8985u, 0x118D8984u}));
    EXPECT_EQ(s.Finish(), 0xD7C3AF96u);

    // The same word spread over writes of 3 and 5 bytes.
    EXPECT_EQ(Sum({"abc", "dabcd"}), 0xD7C3AF96u);

    CChecksumStream one;
    Put(one, "\x01\0\0\0"s);
    EXPECT_EQ(WordsOf(one), (Words{3, 1, 1}));
    EXPECT_EQ(one.Finish(), 5u);
}

TEST(ChecksumValues, MixingWordsCollapseOnTheirOwnValue)
{
    // Words chosen so that ChecksumLo, then ChecksumHi, become exactly zero:
    // the bit each leaves for the next word must come from that value.
    const uint8_t words[] = {'a', 'b', 'c', 'd', 0xDD, 0xD8, 0xD5, 0x52, 0, 0, 0, 0, 0, 0, 0, 0};
    const Words expected[] = {{0x2D2A2723u, 0x64636261u, 0x64636261u},
                              {1, 0x80000001u, 0},
                              {2, 0, 1},
                              {0x80000006u, 2, 0x80000002u}};
    CChecksumStream byWord, whole;
    for (int i = 0; i < 4; i++) {
        byWord.Write(words + 4 * i, 4);
        EXPECT_EQ(WordsOf(byWord), expected[i]) << i;
    }
    whole.Write(words, sizeof words);
    EXPECT_EQ(WordsOf(whole), expected[3]);
}

TEST(ChecksumValues, EmptyWriteChangesNothing)
{
    CChecksumStream s;
    Put(s, "%!PS-Ad");
    const CChecksumStream before = s;
    s.Write(nullptr, 0);
    Put(s, "");
    ExpectSameFields(before, s);
}

// ---------------------------------------------------------- recognition

TEST(PostscriptRecognition, HeaderLineIsACommentAndPercentInStringCounts)
{
    EXPECT_EQ(Sum({kJob}), 0xDF854B93u);
    EXPECT_EQ(Sum({"(a%b) show\n"}), 0xDF854B93u);
}

TEST(PostscriptRecognition, BytesOfEarlierWritesStayPlainData)
{
    // Recognised in the second write: "%!PS-" was already folded, and the
    // header's comment was never opened.
    EXPECT_EQ(Sum({"%!PS-", kJob.substr(5)}), 0x4A499333u);
    EXPECT_EQ(PlainData(kJob), 0x4A499333u);
    EXPECT_EQ(Sum({"% no header yet\n", "x%!PS-Adobe\n"}),
              Sum({"% no header yet\nx"}));
}

TEST(PostscriptRecognition, HeaderAloneIsAllComment)
{
    CChecksumStream s;
    Put(s, "%!PS-Adobe");
    EXPECT_TRUE(s.IsPostscript);
    EXPECT_TRUE(s.InPostscriptComment);
    EXPECT_EQ(s.Finish(), 0u);
}

TEST(PostscriptRecognition, WholeWriteCountsIncludingBytesBeforeHeader)
{
    // "% x\n" before the header in the same write is a comment too.
    EXPECT_EQ(Sum({"% x\nab%!PS-Adobe\ncd"}), Sum({"abcd"}));
}

TEST(PostscriptRecognition, HeaderSplitOverShortWritesIsFoundThroughTheTail)
{
    CChecksumStream s;
    Put(s, "%!P");
    Put(s, "S-A");
    EXPECT_FALSE(s.IsPostscript);
    EXPECT_STREQ(s.pOldBuffer, "%!PS-A");
    Put(s, "dobe");
    EXPECT_TRUE(s.IsPostscript);
    // Found in the third write, so its four bytes are already a comment.
    EXPECT_EQ(s.NumBytesInBuffer, 2u);
}

TEST(PostscriptRecognition, ZeroByteCutsTheCarriedTail)
{
    CChecksumStream s;
    Put(s, "0123\0%!PS-"s);  // cb >= 9: strncpy stops at the zero byte
    EXPECT_STREQ(s.pOldBuffer, "123");
    Put(s, "Adobe\n");
    EXPECT_FALSE(s.IsPostscript);

    // Short writes: the append stops at the zero byte as well.
    CChecksumStream t;
    Put(t, "ab\0%!"s);
    EXPECT_STREQ(t.pOldBuffer, "ab");
    Put(t, "PS-Adobe");
    EXPECT_FALSE(t.IsPostscript);

    // What is left of the tail is joined to the next write as it stands,
    // even though the zero byte lay between them.
    CChecksumStream u;
    Put(u, "a%!PS\0wxyz"s);
    EXPECT_STREQ(u.pOldBuffer, "%!PS");
    Put(u, "-Adobe");
    EXPECT_TRUE(u.IsPostscript);
}

TEST(PostscriptRecognition, TailKeepsLastNineCharacters)
{
    CChecksumStream s;
    Put(s, "abcdefgh");  // 8: appended
    EXPECT_STREQ(s.pOldBuffer, "abcdefgh");
    Put(s, "XY");  // 8 + 2: keep 7 old ones
    EXPECT_STREQ(s.pOldBuffer, "bcdefghXY");
    Put(s, "Z\0"s);  // the zero byte is copied as the terminator
    EXPECT_EQ(memcmp(s.pOldBuffer, "defghXYZ\0\0", 10), 0);
    Put(s, "0123456789ab");
    EXPECT_STREQ(s.pOldBuffer, "3456789ab");
    EXPECT_EQ(s.pOldBuffer[9], 0);
}

// --------------------------------------------------------------- scanner

// Checksum of a PostScript job: a header line, then the body, in one write.
uint32_t SumPs(const std::string& body) { return Sum({"%!PS-Adobe\n" + body}); }

TEST(PostscriptScanner, EscapedParenthesisDoesNotCloseString)
{
    CChecksumStream s;
    Put(s, "%!PS-Adobe\n");
    const std::string bytes = "(a\\)b)";
    const uint32_t depth[] = {1, 1, 1, 1, 1, 0};
    const int32_t flag[] = {0, 0, 1, 0, 0, 0};
    for (size_t i = 0; i < bytes.size(); i++) {
        Put(s, bytes.substr(i, 1));
        EXPECT_EQ(s.InPostscriptString, depth[i]) << i;
        EXPECT_EQ(s.PrevCharIsBackslash, flag[i]) << i;
    }
    EXPECT_EQ(s.Finish(), Sum({bytes}));
}

TEST(PostscriptScanner, NestingEscapesAndCode)
{
    // In code ")" is counted and ignored; a backslash does not stop "(".
    CChecksumStream s;
    Put(s, "%!PS-Adobe\n) \\(x");
    EXPECT_EQ(s.InPostscriptString, 1u);
    EXPECT_FALSE(s.PrevCharIsBackslash);
    // Nested and escaped parentheses; "\\" escapes itself.
    Put(s, "(\\(\\\\)");
    EXPECT_EQ(s.InPostscriptString, 1u);
    Put(s, "%)");
    EXPECT_EQ(s.InPostscriptString, 0u);
    EXPECT_FALSE(s.InPostscriptComment);
    EXPECT_EQ(s.Finish(), Sum({") \\(x(\\(\\\\)%)"}));
}

TEST(PostscriptScanner, CommentsEndOnlyAtLineFeedOrFormFeed)
{
    EXPECT_EQ(SumPs("a%c\r(b\nd%\fe"), Sum({"ade"}));
    CChecksumStream s;
    Put(s, "%!PS-Adobe\n%x\r");
    EXPECT_TRUE(s.InPostscriptComment);
    Put(s, "\\");
    EXPECT_TRUE(s.PrevCharIsBackslash);
    Put(s, "(\n");
    EXPECT_FALSE(s.InPostscriptComment);
    EXPECT_EQ(s.InPostscriptString, 0u);
}

TEST(PostscriptScanner, ObserverSeesExactlyTheCountedRuns)
{
    std::string seen;
    CChecksumStream s;
    s.pfnCounted = [](void* ctx, const uint8_t* p, size_t n) {
        ASSERT_GT(n, 0u);
        static_cast<std::string*>(ctx)->append(reinterpret_cast<const char*>(p), n);
        static_cast<std::string*>(ctx)->push_back('|');
    };
    s.pCountedContext = &seen;
    Put(s, "ab");
    Put(s, "%!PS-Adobe\n(%)x%y\nz");
    EXPECT_EQ(seen, "ab|(%)x|z|");
    s.Reset();
    EXPECT_NE(s.pfnCounted, nullptr);
    EXPECT_EQ(s.Checksum, 0u);
}

// ------------------------------------------------- model and invariance

std::string RandomBytes(std::mt19937& rng, size_t n, bool psLike)
{
    static const char alphabet[] = "%()\\\n\r\f\0!PS-Adobe x";
    std::string out(n, '\0');
    for (char& c : out)
        c = psLike && rng() % 8 ? alphabet[rng() % (sizeof alphabet - 1)] : (char)rng();
    if (psLike && n > 0 && rng() % 4)
        out.insert(rng() % (n + 1), "%!PS-Adobe");
    return out;
}

std::vector<std::string> RandomSplit(std::mt19937& rng, const std::string& job)
{
    std::vector<std::string> writes;
    const size_t style = rng() % 3, maxLen = style == 0 ? 1 : style == 1 ? 12 : 300;
    for (size_t at = 0; at < job.size();) {
        const size_t n = std::min<size_t>(rng() % (maxLen + 1), job.size() - at);
        writes.push_back(job.substr(at, n));
        at += n;
    }
    return writes;
}

TEST(Agreement, DataWithoutHeaderDoesNotDependOnWriteSizes)
{
    std::mt19937 rng(1);
    for (int round = 0; round < 200; round++) {
        std::string job = RandomBytes(rng, rng() % 2000, false);
        for (size_t at; (at = job.find("%!PS-Adobe")) != std::string::npos;)
            job[at] = 'x';
        EXPECT_EQ(Sum(RandomSplit(rng, job)), Sum({job})) << round;
    }
}

TEST(Agreement, EngineMatchesPlainModelAfterEveryWrite)
{
    std::mt19937 rng(2);
    for (int round = 0; round < 1500; round++) {
        const std::string job = RandomBytes(rng, rng() % 600, true);
        CChecksumStream e;
        PlainChecksumModel m;
        if (round % 4 == 0) {
            // Any scanner state the fields may be left in, also one that no
            // job reaches (a comment inside a string).
            e.IsPostscript = m.IsPostscript = 1;
            e.InPostscriptComment = m.InPostscriptComment = rng() % 2;
            e.InPostscriptString = m.InPostscriptString = rng() % 3;
            e.PrevCharIsBackslash = m.PrevCharIsBackslash = rng() % 2;
        }
        size_t index = 0;
        for (const std::string& w : RandomSplit(rng, job)) {
            Put(e, w);
            m.Write(reinterpret_cast<const uint8_t*>(w.data()), (uint32_t)w.size());
            ExpectSameFields(e, m);
            if (HasFailure()) {
                ADD_FAILURE() << "round " << round << ", write " << index;
                return;
            }
            index++;
        }
        ASSERT_EQ(e.Finish(), m.Finish()) << round;
    }
}

}  // namespace

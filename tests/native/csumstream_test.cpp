// Unit tests of CChecksumStream. Every job runs through the engine and the
// plain byte-at-a-time model (fuzz/model_check.h) on every folding path,
// compared field by field after every write. The bytes each known job must
// count, and the checksums worked out by hand, pin the model itself.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "model_check.h"

using namespace std::string_literals;

namespace {

struct CKnownJob {
  std::vector<std::string> Writes;
  std::string Counted;  // the bytes that enter the checksum, in order
  int64_t Checksum;     // -1 where the counted bytes say it all
};

const std::string kJob = "%!PS-Adobe-3.0\n(a%b) show\n";
const std::string kHeaderLine = "%!PS-Adobe\n";

// Escapes across the edges of the 64-byte blocks the scanner works in, in a
// job long enough for its batches of blocks: the odd run of backslashes
// before byte 64 escapes the backslash after it (so the ")" closes the
// string and "%" opens a comment), the even one before byte 576 does not
// escape the ")" after it.
const std::string kEdgeCounted[] = {"(" + std::string(51, 'a') + "\\\\)",
                                    std::string(500, 'b') + "(\\\\)", std::string(520, 'c')};
const std::string kEdgeJob =
    kHeaderLine + kEdgeCounted[0] + "%z) %q\n" + kEdgeCounted[1] + "%y\n" + kEdgeCounted[2];

// clang-format off
const CKnownJob kKnownJobs[] = {
  // Plain data: every byte, whatever the write sizes; a short last word is
  // folded at the end with its missing high bytes zero.
  {{}, "", 0},
  {{"", std::string(1001, '\0')}, std::string(1001, '\0'), 0},
  {{"abc"}, "abc", 0x01F0EBE5},
  {{"a", "b", "c"}, "abc", 0x01F0EBE5},
  {{"abcd"}, "abcd", 0xF5F0EBE5},
  {{"abc", "dabcd"}, "abcdabcd", 0xD7C3AF96},
  {{"\x01\0\0\0"s}, "\x01\0\0\0"s, 5},
  // Words that make ChecksumLo, then ChecksumHi, exactly zero: the bit each
  // leaves for the next word comes from its own value. (Checksum, Hi, Lo)
  // after each word: (0x2D2A2723, 0x64636261, 0x64636261), (1, 0x80000001,
  // 0), (2, 0, 1), (0x80000006, 2, 0x80000002).
  {{"abcd\xDD\xD8\xD5\x52"s + std::string(8, '\0')}, "abcd\xDD\xD8\xD5\x52"s + std::string(8, '\0'), 10},
  // PostScript: the header line and comments are left out, a "%" inside a
  // string counts.
  {{kJob}, "(a%b) show\n", 0xDF854B93},
  {{"%!PS-Adobe"}, "", 0},
  // Bytes of earlier writes stay plain data; the write that completes the
  // header is PostScript from its first byte.
  {{"%!PS-", kJob.substr(5)}, kJob, 0x4A499333},
  {{"% no header yet\n", "% x\nab%!PS-Adobe\ncd"}, "% no header yet\nabcd", -1},
  // A header split over writes is found through the tail carried between
  // them: appended, taken from a long write, kept in part, across an empty
  // write.
  {{"%!P", "S-A", "dobe%c\nx"}, "%!PS-Adobex", -1},
  {{"0123456%!PS", "-Adobe%c\nx"}, "0123456%!PS-Adobex", -1},
  {{"abcdefgh", "%!", "PS-Ado", "be%c\nx"}, "abcdefgh%!PS-Adobex", -1},
  {{"%!PS-Ad", "", "obe%c\n"}, "%!PS-Adobe", -1},
  // A zero byte cuts the carried tail, from a long write or a short one;
  // what is left of the tail still joins the next write.
  {{"0123\0%!PS-"s, "Adobe%c\n"}, "0123\0%!PS-Adobe%c\n"s, -1},
  {{"ab\0%!"s, "PS-Adobe%c\n"}, "ab\0%!PS-Adobe%c\n"s, -1},
  {{"a%!PS\0wxyz"s, "-Adobe%c\nx"}, "a%!PS\0wxyz-Adobex"s, -1},
  // Strings: an escaped ")" does not close one, so the "%" after it is
  // text, also when each byte is a write of its own.
  {{kHeaderLine, "(", "a", "\\", ")", "%", "b", ")", "x", "%", "c", "\n"}, "(a\\)%b)x", -1},
  // In code ")" is counted and ignored and a backslash does not stop "(";
  // strings nest, and "\\" escapes itself.
  {{kHeaderLine, ") \\(x", "(\\(\\\\)", "%)%c\n"}, ") \\(x(\\(\\\\)%)", -1},
  // Comments end at a line feed or form feed, not at a carriage return.
  {{kHeaderLine + "a%c\r(b\nd%\fe"}, "ade", -1},
  {{kHeaderLine, "%x\r", "\\", "(\n", "y"}, "y", -1},
  {{kEdgeJob}, kEdgeCounted[0] + kEdgeCounted[1] + kEdgeCounted[2], -1},
};
// clang-format on

TEST(ChecksumStream, KnownJobsCountTheirBytesOnEveryPath) {
  for (const CKnownJob& known : kKnownJobs) {
    std::string job;
    std::vector<size_t> writes;
    CChecksumStream s;
    for (const std::string& w : known.Writes) {
      job += w;
      writes.push_back(w.size());
      s.Write(reinterpret_cast<const uint8_t*>(w.data()), (uint32_t)w.size());
    }
    SCOPED_TRACE(testing::PrintToString(job));
    std::vector<uint8_t> counted;
    EXPECT_EQ(RunOnEveryPath({job.begin(), job.end()}, writes, &counted), "");
    EXPECT_EQ(std::string(counted.begin(), counted.end()), known.Counted);
    if (known.Checksum >= 0) {
      EXPECT_EQ(s.Finish(), (uint32_t)known.Checksum);
    }
    s.Reset();  // a new job starts from nothing
    EXPECT_EQ(FirstDifference(s, PlainChecksumModel()), "");
  }
}

// The fuzz target's choices, made by a seeded generator that never runs dry.
struct CRandomChoices {
  std::mt19937_64 Rng;

  template <class T>
  T ConsumeIntegralInRange(T lo, T hi) {
    return lo + (T)(Rng() % (hi - lo + 1));
  }
  size_t remaining_bytes() const { return SIZE_MAX; }
};

TEST(ChecksumStream, RandomJobsAgreeWithTheModelAfterEveryWrite) {
  CRandomChoices choices{std::mt19937_64(2)};
  for (int round = 0; round < 400; round++)
    ASSERT_EQ(RunRandomJob(choices, round % 16 ? 600 : 8192), "") << "round " << round;
}

}  // namespace

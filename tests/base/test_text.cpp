// The bounded text helpers and the MAC text: cut at the field's capacity,
// always terminated, never a byte written or read past the field.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "base/format_mac.h"
#include "base/text.h"

namespace {

constexpr size_t kGuard = 16;
constexpr char kFill = '#';

// A field of a given capacity followed by guard bytes that must stay untouched.
class Field {
 public:
  explicit Field(size_t cap) : cap_(cap) { memset(bytes_, kFill, sizeof bytes_); }
  char* data() { return bytes_; }
  size_t cap() const { return cap_; }
  std::string text() const { return std::string(bytes_, strnlen(bytes_, cap_)); }
  bool terminated() const { return cap_ == 0 || memchr(bytes_, '\0', cap_) != nullptr; }
  bool guardIntact() const {
    for (size_t i = cap_; i < cap_ + kGuard; ++i) {
      if (bytes_[i] != kFill) return false;
    }
    return true;
  }

 private:
  size_t cap_;
  char bytes_[64 + kGuard];
};

struct CopyCase {
  size_t cap;
  const char* src;
  const char* expected;
};

// Cases are named by their texts in test listings (the default would print
// padding bytes).
void PrintTo(const CopyCase& c, std::ostream* os) { *os << c.cap << " \"" << c.src << "\""; }

class TextCopyTest : public ::testing::TestWithParam<CopyCase> {};

TEST_P(TextCopyTest, CopiesAndCutsAtCapacity) {
  const CopyCase& c = GetParam();
  Field field(c.cap);
  EXPECT_EQ(TextCopy(field.data(), field.cap(), c.src), strlen(c.expected));
  EXPECT_EQ(field.text(), c.expected);
  EXPECT_TRUE(field.terminated());
  EXPECT_TRUE(field.guardIntact());
}

INSTANTIATE_TEST_SUITE_P(Cases, TextCopyTest,
                         ::testing::Values(CopyCase{8, "abc", "abc"}, CopyCase{8, "", ""},
                                           CopyCase{8, "abcdefg", "abcdefg"},
                                           CopyCase{8, "abcdefgh", "abcdefg"},
                                           CopyCase{8, "abcdefghijklmnop", "abcdefg"},
                                           CopyCase{1, "abc", ""}, CopyCase{8, nullptr, ""}));

TEST(TextCopyEdgeTest, ZeroCapacityWritesNothing) {
  Field field(0);
  EXPECT_EQ(TextCopy(field.data(), 0, "abc"), 0u);
  EXPECT_TRUE(field.guardIntact());
  EXPECT_EQ(TextCopy(nullptr, 8, "abc"), 0u);
}

TEST(TextCopyEdgeTest, SourceIsReadNoFurtherThanTheFieldTakes) {
  // An unterminated source: only cap - 1 of its bytes may be read.
  char source[4] = {'w', 'x', 'y', 'z'};
  char dst[4];
  EXPECT_EQ(TextCopy(dst, sizeof dst, source), 3u);
  EXPECT_STREQ(dst, "wxy");
}

TEST(TextCopyEdgeTest, ArrayFormTakesTheArraysCapacity) {
  char dst[5];
  EXPECT_EQ(TextCopy(dst, "abcdefgh"), 4u);
  EXPECT_STREQ(dst, "abcd");
  EXPECT_EQ(TextAppend(dst, "x"), 4u);
  EXPECT_STREQ(dst, "abcd");
}

struct AppendCase {
  size_t cap;
  const char* start;
  const char* src;
  const char* expected;
};

void PrintTo(const AppendCase& c, std::ostream* os) {
  *os << c.cap << " \"" << c.start << "\" + \"" << c.src << "\"";
}

class TextAppendTest : public ::testing::TestWithParam<AppendCase> {};

TEST_P(TextAppendTest, AppendsAndCutsAtCapacity) {
  const AppendCase& c = GetParam();
  Field field(c.cap);
  TextCopy(field.data(), field.cap(), c.start);
  EXPECT_EQ(TextAppend(field.data(), field.cap(), c.src), strlen(c.expected));
  EXPECT_EQ(field.text(), c.expected);
  EXPECT_TRUE(field.terminated());
  EXPECT_TRUE(field.guardIntact());
}

INSTANTIATE_TEST_SUITE_P(Cases, TextAppendTest,
                         ::testing::Values(AppendCase{8, "abc", "de", "abcde"},
                                           AppendCase{8, "", "abc", "abc"},
                                           AppendCase{8, "abcde", "xy", "abcdexy"},
                                           AppendCase{8, "abcde", "xyz", "abcdexy"},
                                           // A full field takes nothing more.
                                           AppendCase{8, "abcdefg", "x", "abcdefg"},
                                           AppendCase{8, "abc", nullptr, "abc"},
                                           AppendCase{1, "", "abc", ""}));

TEST(TextAppendEdgeTest, FieldWithoutTerminatorIsCutNotOverrun) {
  Field field(8);
  memset(field.data(), 'a', field.cap());  // no terminator within the field
  EXPECT_EQ(TextAppend(field.data(), field.cap(), "b"), 7u);
  EXPECT_EQ(field.text(), "aaaaaaa");
  EXPECT_TRUE(field.guardIntact());
}

TEST(TextAppendEdgeTest, MessageBuiltFromPieces) {
  char msg[kTextCapacity];
  char piece[kPieceCapacity];
  TextCopy(msg, "Comm Error: ");
  TextFormat(piece, sizeof piece, "(%i)", -1012);
  TextAppend(msg, piece);
  EXPECT_STREQ(msg, "Comm Error: (-1012)");
}

// Outside text: printable ASCII as it is, everything else and the
// destination's separators as visible escapes, never one cut in two.
TEST(TextAppendEscapedTest, EscapesWhatIsNotPrintableAndCutsOnlyBetweenEscapes) {
  struct Case {
    size_t cap;
    const char* before;
    const char* src;
    const char* reserved;
    const char* expected;
    bool cut;
  } cases[] = {
      {64, "", "Bench_2345 \\x41~", nullptr, "Bench_2345 \\x41~", false},
      {64, "Name: ", "a\r\nb\t\x1b[2J", nullptr, "Name: a\\r\\nb\\t\\x1B[2J", false},
      {64, "", "\x7f\x80\xff", nullptr, "\\x7F\\x80\\xFF", false},
      {64, "", "a;b{c}d", ";{}", "a\\x3Bb\\x7Bc\\x7Dd", false},
      {64, "", "a;b", nullptr, "a;b", false},
      {7, "ab", "cd\r", nullptr, "abcd\\r", false},
      {6, "ab", "cd\r", nullptr, "abcd", true},
      {9, "ab", "cd\x01", nullptr, "abcd\\x01", false},
      {8, "ab", "cd\x01", nullptr, "abcd", true},
      {1, "", "x", nullptr, "", true},
  };
  for (const Case& c : cases) {
    Field field(c.cap);
    TextCopy(field.data(), field.cap(), c.before);
    bool cut = !c.cut;
    EXPECT_EQ(strlen(c.expected),
              TextAppendEscaped(field.data(), field.cap(), c.src, c.reserved, &cut))
        << c.src;
    EXPECT_EQ(c.expected, field.text()) << c.src;
    EXPECT_EQ(c.cut, cut) << c.src;
    EXPECT_TRUE(field.guardIntact()) << c.src;
  }
  EXPECT_EQ(4u * 199 + 1, EscapedCapacity(kTextCapacity));
}

TEST(TextFormatTest, FormatsWithinCapacity) {
  Field field(kPieceCapacity);
  EXPECT_EQ(TextFormat(field.data(), field.cap(), "%u,%0.02f", 7u, 2.5), 6u);
  EXPECT_EQ(field.text(), "7,2.50");
  EXPECT_TRUE(field.guardIntact());
}

TEST(TextFormatTest, LongResultIsCutAndTheLengthSaysSo) {
  Field field(kPieceCapacity);
  std::string longText(80, 'q');
  EXPECT_EQ(TextFormat(field.data(), field.cap(), "[%s]", longText.c_str()), 49u);
  EXPECT_EQ(field.text(), "[" + longText.substr(0, 48));
  EXPECT_TRUE(field.guardIntact());
  // A number wider than the piece.
  Field number(10);
  EXPECT_EQ(TextFormat(number.data(), number.cap(), "%f", 1e30), 9u);
  EXPECT_EQ(number.text().size(), 9u);
  EXPECT_TRUE(number.guardIntact());
}

TEST(TextFormatTest, TinyAndMissingFields) {
  Field one(1);
  EXPECT_EQ(TextFormat(one.data(), 1, "%d", 12345), 0u);
  EXPECT_EQ(one.text(), "");
  EXPECT_TRUE(one.guardIntact());
  Field none(0);
  EXPECT_EQ(TextFormat(none.data(), 0, "%d", 12345), 0u);
  EXPECT_TRUE(none.guardIntact());
  EXPECT_EQ(TextFormat(nullptr, 8, "%d", 1), 0u);
}

struct MacCase {
  uint8_t mac[6];
  const char* expected;
};

void PrintTo(const MacCase& c, std::ostream* os) { *os << c.expected; }

class FormatMacTest : public ::testing::TestWithParam<MacCase> {};

TEST_P(FormatMacTest, SixUpperCaseHexPairs) {
  const MacCase& c = GetParam();
  char text[kMacTextCapacity];
  EXPECT_EQ(FormatMac(c.mac, text), 17u);
  EXPECT_STREQ(text, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatMacTest,
    ::testing::Values(MacCase{{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, "12.34.56.78.9A.BC"},
                      MacCase{{0x02, 0x7C, 0x4B, 0x00, 0x20, 0x00}, "02.7C.4B.00.20.00"},
                      MacCase{{0x02, 0x7C, 0x4B, 0x00, 0x1F, 0xFF}, "02.7C.4B.00.1F.FF"},
                      MacCase{{0, 0, 0, 0, 0, 0}, "00.00.00.00.00.00"},
                      MacCase{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "FF.FF.FF.FF.FF.FF"}));

TEST(FormatMacEdgeTest, SmallFieldIsCutNotOverrun) {
  const uint8_t mac[6] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  Field field(6);
  EXPECT_EQ(FormatMac(mac, field.data(), field.cap()), 5u);
  EXPECT_EQ(field.text(), "12.34");
  EXPECT_TRUE(field.guardIntact());
  Field exact(kMacTextCapacity);
  EXPECT_EQ(FormatMac(mac, exact.data(), exact.cap()), 17u);
  EXPECT_TRUE(exact.guardIntact());
}

TEST(FormatMacEdgeTest, NoBytesGiveAnEmptyText) {
  char text[kMacTextCapacity] = "stale";
  EXPECT_EQ(FormatMac(nullptr, text), 0u);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(FormatMac(nullptr, nullptr, 18), 0u);
}

}  // namespace

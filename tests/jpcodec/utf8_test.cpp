// UTF-8 to code page 932: a table of characters and byte sequences, each class of unmappable and
// invalid input among them, and the output room never exceeded.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "jpcodec/utf8_to_sjis.h"
#include "test_support.h"

namespace jpcodec_test {
namespace {

using namespace std::string_literals;

std::string ToSjis(const std::string& utf8) {
  std::vector<uint8_t> out(jpcodec::Utf8ToSjisRoom(utf8.size()) + 16, 0xEE);
  const size_t written =
      jpcodec::ConvertUtf8ToSjis(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size(), out.data());
  EXPECT_LE(written, jpcodec::Utf8ToSjisRoom(utf8.size())) << Hex(B(utf8));
  for (size_t k = jpcodec::Utf8ToSjisRoom(utf8.size()); k < out.size(); ++k) EXPECT_EQ(out[k], 0xEE);
  return std::string(reinterpret_cast<const char*>(out.data()), written);
}

TEST(Utf8ToSjis, CharactersAndSequences) {
  const struct {
    const char* name;
    std::string utf8, sjis;
  } cases[] = {
      {"ASCII, NUL kept", "a\0b~\\"s, "a\0b~\\"s},
      {"kana and kanji", "テスト山田", "\x83\x65\x83\x58\x83\x67\x8E\x52\x93\x63"},
      {"NEC row 13", "①㈱№", "\x87\x40\x87\x8A\x87\x82"},
      {"IBM extensions, not their NEC duplicates", "髙﨑ⅰ", "\xFB\xFC\xFA\xB1\xFA\x40"},
      {"JIS row 2 over the NEC and IBM rows", "∵¬", "\x81\xE6\x81\xCA"},
      {"wave dash both ways", "〜～", "\x81\x60\x81\x60"},
      {"double vertical line both ways", "‖∥", "\x81\x61\x81\x61"},
      {"minus both ways", "−－", "\x81\x7C\x81\x7C"},
      {"cent, pound, not both ways", "¢£¬￠￡￢", "\x81\x91\x81\x92\x81\xCA\x81\x91\x81\x92\x81\xCA"},
      {"yen sign and overline as ASCII", "¥‾", "\x5C\x7E"},
      {"half-width katakana single bytes", "ｶｿｳｼﾃﾝ｡ﾟ", "\xB6\xBF\xB3\xBC\xC3\xDD\xA1\xDF"},
      {"U+0080 is its own byte", "\xC2\x80", "\x80"},
      {"C1 controls have no mapping", "\xC2\x81\xC2\x9F", "&#129;&#159;"},
      {"Latin letters have none", "café", "caf&#233;"},
      {"emoji (four bytes)", "😀!", "&#128512;!"},
      {"highest code point", "\xF4\x8F\xBF\xBF", "&#1114111;"},
      {"private use has none", "\xEE\x80\x80", "&#57344;"},
      {"a lone continuation byte", "a\x80" "b", "a?b"},
      {"a byte no sequence begins with", "\xC0\xC1\xF5\xFF", "????"},
      {"overlong forms", "\xC0\xAF\xE0\x80\xAF", "?????"},
      {"a surrogate", "\xED\xA0\x80", "???"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", "????"},
      {"cut at the end", "ab\xE3\x83", "ab?"},
      {"cut by another lead", "\xE3\x83\xE3\x83\x86", "?\x83\x65"},
      {"cut four-byte sequence, then ASCII", "\xF0\x9F\x98z", "?z"},
      {"long ASCII run around kanji", std::string(40, 'x') + "山" + std::string(33, 'y'),
       std::string(40, 'x') + "\x8E\x52" + std::string(33, 'y')},
  };
  for (const auto& c : cases) EXPECT_EQ(Hex(B(ToSjis(c.utf8))), Hex(B(c.sjis))) << c.name;
}

// Text of any mix converts as its pieces do alone: runs of kanji taken in pairs stop exactly where a
// character without a two-byte code, an invalid sequence or ASCII begins, and ASCII blocks stored
// past a run's end never spoil what follows. (No piece begins with a continuation byte, so a cut
// sequence stays cut.)
TEST(Utf8ToSjis, AnyMixConvertsAsItsPiecesAlone) {
  const std::string pieces[] = {
      "a", std::string(17, 'x'), std::string(33, 'y'), "\0"s, "山", "テ", "〜", "①", "髙",
      "\xEE\x80\x80", "\xED\xA0\x80", "\xE0\x80\xAF", "\xE3\x83", "\xC2\x80", "é", "😀", "ｶ", "¥", "\xC0",
      "\xEF\xBF\xBF"};
  std::mt19937 random(15);
  for (int round = 0; round < 3000; ++round) {
    std::string utf8, expected;
    const int count = std::uniform_int_distribution<int>(0, 40)(random);
    for (int k = 0; k < count; ++k) {
      const std::string& piece = pieces[std::uniform_int_distribution<size_t>(0, std::size(pieces) - 1)(random)];
      utf8 += piece;
      expected += ToSjis(piece);
    }
    ASSERT_EQ(Hex(B(ToSjis(utf8))), Hex(B(expected))) << Hex(B(utf8));
  }
}

TEST(Utf8ToSjis, TheWorstGrowthFitsTheRoom) {
  // Two-byte characters without a mapping grow the most: 2 bytes into "&#2047;", 7.
  std::string worst;
  for (int k = 0; k < 1000; ++k) worst += "\xDF\xBF";
  EXPECT_EQ(ToSjis(worst).size(), 7000u);
  EXPECT_EQ(ToSjis("").size(), 0u);
}

}  // namespace
}  // namespace jpcodec_test

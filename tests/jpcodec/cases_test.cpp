// Tables of single conversions: the detection rules, each converter's rules, and what happens at
// the buffer's end. Each case gives the bytes written from the buffer's start; every byte after
// them must keep its old contents.
#include <gtest/gtest.h>

#include "platform/test_hooks.h"
#include "test_support.h"

namespace jpcodec_test {
namespace {

using namespace std::string_literals;

struct Case {
  const char* name;
  Bytes input;     // the whole buffer; len is its size
  Bytes expected;  // the buffer's first bytes afterwards; the rest stays as it was
  unsigned long nResult;
};

const Bytes ESC = {0x1B};
const Bytes kJisDouble = B("\x1B$B");
const Bytes kJisAscii = B("\x1B(B");
const Bytes kJisKana = B("\x1B(I");
const Bytes NUL = {0x00};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    ASSERT_LE(c.expected.size(), c.input.size()) << c.name;
    const Bytes whole = Cat({c.expected, Bytes(c.input.begin() + c.expected.size(), c.input.end())});
    const Converted out = Convert(c.input);
    EXPECT_EQ(out.nResult, c.nResult) << c.name << ": input " << Hex(c.input);
    EXPECT_EQ(Hex(out.bytes), Hex(whole)) << c.name << ": input " << Hex(c.input);
  }
}

TEST(Detection, DecidesFromTheFirstDecidingByte) {
  RunCases({
      {"ascii", B("abc\0"s), B("abc\0"s), 4},
      {"empty text", NUL, NUL, 1},
      {"shift-jis kanji", {0x88, 0x9F, 0x00}, {0x88, 0x9F, 0x00}, 3},
      {"half-width byte first counts as EUC-JP", Cat({{0xB1}, B("abc\0"s)}),
       {0x89, 0x01, 'b', 'c', 0x00}, 4},
      {"0x8E first counts as Shift-JIS", {0x8E, 0xB1, 0x00}, {0x8E, 0xB1, 0x00}, 3},
      {"byte after ambiguous lead skipped", {0xE0, 0xA1, 'a', 0x00}, {0xE0, 0xA1, 'a', 0x00}, 4},
      {"ESC right after ambiguous lead gives JIS", Cat({{0xE5}, kJisAscii, B("a\0"s)}),
       {0xE5, 'a', 0x00}, 2},
      {"nothing decides before the NUL", {0x85, 0xA0, 0xF3, 0x00, 0xB0, 0xA1}, 
       {0x85, 0xA0, 0xF3, 0x00, 0xB0, 0xA1}, 6},
      {"no NUL and nothing decides", B("plain"), B("plain"), 5},
      {"no NUL, 64 bytes of ASCII", Bytes(64, 'a'), Bytes(64, 'a'), 64},
      {"no NUL, 80 bytes of ASCII", Bytes(80, 'a'), Bytes(80, 'a'), 80},
      {"deciding byte after a long ASCII run", Cat({B("0123456789abcdefghijklmnopqrstuv"),
                                                   {0xB0, 0xA1, 0x00}}),
       Cat({B("0123456789abcdefghijklmnopqrstuv"), {0x88, 0x9F, 0x00}}), 34},
      {"shift-jis lead after a long ASCII run", Cat({B("0123456789abcdefghij"), {0x82, 0xA0, 0x00}}),
       Cat({B("0123456789abcdefghij"), {0x82, 0xA0, 0x00}}), 23},
  });
}

TEST(Detection, LengthsOutsideTheSignedRangeLeaveTheTextAlone) {
  char text[] = "\xB0\xA1";
  EXPECT_EQ(jpcodec::ConvertText(text, 0), 0ul);
  EXPECT_EQ(jpcodec::ConvertText(text, 0x80000000ul), 0x80000000ul);
  EXPECT_EQ(jpcodec::ConvertText(text, 0xFFFFFFFFul), 0xFFFFFFFFul);
  EXPECT_EQ(std::string(text), "\xB0\xA1") << "nothing may be read or written";
}

TEST(EucConversion, PairsKanaAndCopiedBytes) {
  RunCases({
      {"kanji", {0xB0, 0xA1, 0x00}, {0x88, 0x9F, 0x00}, 2},
      {"hiragana and half-width katakana", {0xA4, 0xA2, 0x8E, 0xB1, 0x00},
       {0x82, 0xA0, 0x83, 0x41, 0x00}, 4},
      {"voiced mark in its own 0x8E pair is not combined",
       {0xA4, 0xA2, 0x8E, 0xB6, 0x8E, 0xDE, 0x00}, {0x82, 0xA0, 0x83, 0x4A, '?', 0x00}, 5},
      {"voiced mark right after the kana is combined", {0xA1, 0xA1, 0x8E, 0xB6, 0xDE, 0x00},
       {0x81, 0x40, 0x83, 0x4B, 0x00}, 4},
      {"0x8F copied alone", {0xA1, 0xA1, 0x8F, 0xB0, 0xA1, 0x00}, {0x81, 0x40, 0x8F, 0x88, 0x9F, 0x00}, 5},
      {"second byte untested", {0xB1, 'a', 0x00}, {0x89, 0x01, 0x00}, 2},
      {"row 83 kanji (lead 0xF3)", {0xA1, 0xA1, 0xF3, 0xA1, 'x', 0x00},
       {0x81, 0x40, 0xEA, 0x40, 'x', 0x00}, 5},
      {"extension kanji lead 0xF9 maps to 0xED", {0xA1, 0xA1, 0xF9, 0xA1, 0x00},
       {0x81, 0x40, 0xED, 0x40, 0x00}, 4},
      {"0xF3 before a non-EUC byte is copied alone", {0xA1, 0xA1, 0xF3, 'A', 0x00},
       {0x81, 0x40, 0xF3, 'A', 0x00}, 4},
      {"0xFF copied", {0xA1, 0xA1, 0xFF, 0xFF, 0x00}, {0x81, 0x40, 0xFF, 0xFF, 0x00}, 4},
      {"NUL produced by the arithmetic ends the result", {0xB0, 0x02, 'z', 0x00},
       {0x88, 0x00, 'z', 0x00}, 1},
  });
}

TEST(EucConversion, BufferEndRules) {
  RunCases({
      // A 0x8E right before the NUL: "?" for the missing kana, and the NUL still ends the text.
      {"0x8E before the NUL", {0xA1, 0xA1, 0x8E, 0x00}, {0x81, 0x40, '?', 0x00}, 3},
      {"0x8E in the last byte, no NUL", {0xA1, 0xA1, 0x8E}, {0x81, 0x40, '?'}, 3},
      {"no NUL, pairs fill the buffer", {0xB0, 0xA1}, {0x88, 0x9F}, 2},
      {"no NUL, lead byte cut off is dropped", {0xB0, 0xA1, 0xB0}, {0x88, 0x9F, 0x00}, 2},
      {"NUL eaten as a second byte", {0xB0, 0xA1, 0xB0, 0x00}, {0x88, 0x9F, 0x88, 0xFE}, 4},
      {"kana at the end with no room for a mark", {0xA1, 0xA1, 0x8E, 0xB6}, {0x81, 0x40, 0x83, 0x4A}, 4},
  });
}

TEST(JisConversion, EscapesModesAndPairs) {
  RunCases({
      {"kanji then ASCII, tail kept", Cat({kJisDouble, {0x30, 0x21}, kJisAscii, B("a\0"s)}),
       {0x88, 0x9F, 'a', 0x00}, 3},
      {"ESC & @ ESC $ B", Cat({B("\x1B&@"), kJisDouble, {0x30, 0x21, 0x00}}),
       {0x88, 0x9F, 0x00}, 2},
      {"ESC $ ( D read as JIS X 0208", Cat({B("\x1B$(D"), {0x30, 0x21, 0x00}}),
       {0x88, 0x9F, 0x00}, 2},
      {"ESC $ @", Cat({B("\x1B$@"), {0x21, 0x21, 0x00}}), {0x81, 0x40, 0x00}, 2},
      {"ESC ( J and ESC ( H are single-byte", Cat({kJisDouble, {0x30, 0x21}, B("\x1B(Jx\x1B(Hy\0"s)}),
       {0x88, 0x9F, 'x', 'y', 0x00}, 4},
      {"unknown ESC $ A copied", B("\x1B$Aab\0"s), B("\x1B$Aab\0"s), 5},
      {"ESC & @ without ESC $ B is an ordinary ESC", B("\x1B&@x\0"s), B("\x1B&@x\0"s), 4},
      {"line end inside double-byte mode", Cat({kJisDouble, {0x0D, 0x0A}, kJisAscii, NUL}),
       {0x77, 0x29, 0x00}, 2},
      {"NUL in second place converted, scan goes on", Cat({kJisDouble, {0x30, 0x00, 0x30, 0x21, 0x00}}),
       {0x88, 0x7E, 0x88, 0x9F, 0x00}, 4},
      {"escape inside a pair is not recognised", Cat({kJisDouble, {0x30, 0x1B}, B("(B\0"s)}),
       {0x88, 0x99, 0x84, 0xC0, 0x00}, 4},
      // The pair (0x41, NUL) eats the NUL; the text then ends at the buffer's end.
      {"unknown ESC in double-byte mode starts a pair", Cat({kJisDouble, B("\x1B$A\0"s)}),
       {0x7E, 0x43, 0x91, 0x1F, 0x00}, 4},
      // Copied as plain bytes, but the last byte is kept for the NUL.
      {"escape sequence cut by the buffer end is copied", B("a\x1B$"), B("a\x1B\0"s), 2},
  });
}

TEST(JisConversion, HalfWidthKatakana) {
  RunCases({
      {"voiced", Cat({kJisKana, {0xB6, 0xDE, 0x00}}), {0x83, 0x4B, 0x00}, 2},
      {"neighbour rule: U + voiced gives small e", Cat({kJisKana, {0xB3, 0xDE, 0x00}}),
       {0x83, 0x46, 0x00}, 2},
      {"neighbour rule: A + voiced gives small i", Cat({kJisKana, {0xB1, 0xDE, 0x00}}),
       {0x83, 0x42, 0x00}, 2},
      {"semi-voiced", Cat({kJisKana, {0xCA, 0xDF, 0x00}}), {0x83, 0x70, 0x00}, 2},
      {"7-bit byte finds no row", Cat({kJisKana, {0x36, 0x00}}), {'?', 0x00}, 1},
      {"marks alone give ?", Cat({kJisKana, {0xDE, 0xDF, 0x00}}), {'?', '?', 0x00}, 2},
      {"key 0xA0 selects row 0", Cat({kJisKana, {0xA0, 0x00}}), {0x83, 0x3F, 0x00}, 2},
      {"unknown ESC in katakana mode gives ?", Cat({kJisKana, B("\x1B$A\0"s)}),
       {'?', '?', '?', 0x00}, 3},
      // No rows 92/93: the kana keeps its own form and the mark is read on its own.
      {"voiced mark after long vowel", Cat({kJisKana, {0xB0, 0xDE, 0x00}}),
       {0x81, 0x5B, '?', 0x00}, 3},
      {"semi-voiced mark after middle dot", Cat({kJisKana, {0xA5, 0xDF, 0x00}}),
       {0x81, 0x45, '?', 0x00}, 3},
      {"voiced mark after middle dot takes row 91", Cat({kJisKana, {0xA5, 0xDE, 0x00}}),
       {0x81, 0x5B, 0x00}, 2},
  });
}

TEST(JisConversion, KatakanaThatOutgrowsTheBufferIsCut) {
  RunCases({
      {"exact fit", Cat({kJisKana, {0xB1, 0xB1, 0xB1, 0x00}}),
       {0x83, 0x41, 0x83, 0x41, 0x83, 0x41, 0x00}, 6},
      // Four kana need 8 bytes and the NUL 1 more; len is 8: the fourth is dropped whole.
      {"two-byte character dropped whole", Cat({kJisKana, {0xB1, 0xB1, 0xB1, 0xB1, 0x00}}),
       {0x83, 0x41, 0x83, 0x41, 0x83, 0x41, 0x00}, 6},
      {"cut, then the rest is lost", Cat({kJisKana, Bytes(7, 0xB1), kJisAscii, B("z\0"s)}),
       Cat({{0x83, 0x41, 0x83, 0x41, 0x83, 0x41, 0x83, 0x41, 0x83, 0x41, 0x83, 0x41, 0x83, 0x41}, {0x00}}), 14},
      {"single byte after widening cut too", Cat({kJisKana, {0xB1, 0xB1, 0xB1}, kJisAscii, B("xyz\0"s)}),
       {0x83, 0x41, 0x83, 0x41, 0x83, 0x41, 'x', 'y', 'z', 0x00}, 9},
      {"no NUL in the buffer", Cat({kJisDouble, {0x30, 0x21, 0x30}}), {0x88, 0x9F, 0x00}, 2},
  });
}

TEST(Conversion, ScratchAllocationFailureLeavesTheTextAlone) {
  Bytes input = {0xB0, 0xA1, 0x00};
  karvel_test::FailNextAllocations(1);
  const Converted out = Convert(input);
  karvel_test::FailNextAllocations(0);
  EXPECT_EQ(out.nResult, 3ul);
  EXPECT_EQ(Hex(out.bytes), Hex(input));
  EXPECT_EQ(Convert(input).nResult, 2ul) << "the next call converts again";
}

TEST(Conversion, LongTextsMixRunsAndSingleCharacters) {
  // Long enough for every block step, with a change of kind at every offset within a block.
  for (size_t prefix = 0; prefix < 40; ++prefix) {
    Bytes euc = Cat({Bytes(prefix, 'a'), {0xB0, 0xA1, 0xA4, 0xA2}, Bytes(prefix, 'b'), {0x8E, 0xB1},
                     Bytes(20, 0xA1), {0x00}});
    Bytes sjis = Cat({Bytes(prefix, 'a'), {0x88, 0x9F, 0x82, 0xA0}, Bytes(prefix, 'b'), {0x83, 0x41}});
    for (int k = 0; k < 10; ++k) sjis.insert(sjis.end(), {0x81, 0x40});
    const Converted out = Convert(euc);
    ASSERT_EQ(out.nResult, sjis.size()) << "prefix " << prefix;
    EXPECT_EQ(Hex(Bytes(out.bytes.begin(), out.bytes.begin() + sjis.size())), Hex(sjis))
        << "prefix " << prefix;

    Bytes jis = Cat({Bytes(prefix, 'a'), kJisDouble, {0x30, 0x21, 0x24, 0x22}, Bytes(prefix & ~1u, 0x21),
                     kJisAscii, Bytes(prefix, 'c'), {0x00}});
    Bytes jisOut = Cat({Bytes(prefix, 'a'), {0x88, 0x9F, 0x82, 0xA0}});
    for (size_t k = 0; k < prefix / 2; ++k) jisOut.insert(jisOut.end(), {0x81, 0x40});
    jisOut.insert(jisOut.end(), prefix, 'c');
    const Converted jisConverted = Convert(jis);
    ASSERT_EQ(jisConverted.nResult, jisOut.size()) << "jis prefix " << prefix;
    EXPECT_EQ(Hex(Bytes(jisConverted.bytes.begin(), jisConverted.bytes.begin() + jisOut.size())),
              Hex(jisOut))
        << "jis prefix " << prefix;
  }
}

}  // namespace
}  // namespace jpcodec_test

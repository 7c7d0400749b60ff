// The text stream against the whole-text conversion: random texts of every kind cut into random
// blocks (and short ones at every boundary) give the same bytes; and long texts against iconv.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "jpcodec/text_stream.h"
#include "jpcodec/utf8_to_sjis.h"
#include "iconv_oracle.h"
#include "test_support.h"

namespace jpcodec_test {
namespace {

using jpcodec::StreamCode;

// The whole value converted at once, as the exchange file was written before it streamed: EUC-JP
// and JIS in a buffer of the text and a NUL, the bytes up to the result; UTF-8 straight.
Bytes Whole(StreamCode code, const Bytes& text) {
  if (code == jpcodec::kStreamUtf8) {
    Bytes out(jpcodec::Utf8ToSjisRoom(text.size()));
    out.resize(jpcodec::ConvertUtf8ToSjis(text.data(), text.size(), out.data()));
    return out;
  }
  Bytes buffer = Cat({text, {0x00}});
  const unsigned long length =
      jpcodec::ConvertTextAs(reinterpret_cast<char*>(buffer.data()), static_cast<unsigned long>(buffer.size()),
                             code == jpcodec::kStreamEuc ? jpcodec::kEucJp : jpcodec::kJis);
  // A lead byte last takes the NUL for its second byte: the text can come out one byte longer.
  buffer.resize(length);
  return buffer;
}

// The text through the stream in blocks of the given sizes, then of the largest size.
Bytes Streamed(StreamCode code, const Bytes& text, const std::vector<size_t>& sizes) {
  jpcodec::TextStream stream;
  EXPECT_TRUE(jpcodec::BeginTextStream(&stream, code, text.size()));
  Bytes out;
  size_t at = 0;
  for (size_t k = 0;; ++k) {
    size_t count = k < sizes.size() ? sizes[k] : jpcodec::kStreamBlockBytes;
    if (count > text.size() - at) count = text.size() - at;
    const bool last = at + count == text.size();
    const uint8_t* converted = nullptr;
    const int32_t made =
        jpcodec::ConvertStreamBlock(&stream, text.data() + at, static_cast<int32_t>(count), last, &converted);
    out.insert(out.end(), converted, converted + made);
    at += count;
    if (last) break;
  }
  jpcodec::EndTextStream(&stream);
  return out;
}

// Random text of `code`'s kind, built from the pieces its converter tells apart: characters whole
// and cut, escapes whole and cut, marks, NULs, bytes no character starts with.
Bytes RandomText(StreamCode code, size_t pieces, std::mt19937* random) {
  auto pick = [random](int n) { return static_cast<int>((*random)() % static_cast<unsigned>(n)); };
  auto byte = [&](int low, int high) { return static_cast<uint8_t>(low + pick(high - low + 1)); };
  Bytes text;
  for (size_t k = 0; k < pieces; ++k) {
    Bytes piece;
    switch (code) {
      case jpcodec::kStreamEuc:
        switch (pick(9)) {
          case 0: piece = B("ab c"); break;
          case 1: case 2: piece = {byte(0xA1, 0xFE), byte(0xA1, 0xFE)}; break;
          case 3: piece = {0x8E, byte(0xA1, 0xDF)}; break;
          case 4: piece = {0x8E, byte(0xB6, 0xCE), static_cast<uint8_t>(pick(2) ? 0xDE : 0xDF)}; break;
          case 5: piece = {byte(0xA1, 0xF2), byte(0x00, 0xFF)}; break;
          case 6: piece = {byte(0xF3, 0xFE), byte(0x20, 0xA0)}; break;
          case 7: piece = {byte(0x80, 0xFF)}; break;
          default: piece = pick(40) == 0 ? Bytes{0x00} : Bytes{byte(0x01, 0x7F)}; break;
        }
        break;
      case jpcodec::kStreamJis:
        switch (pick(10)) {
          case 0: piece = B("\x1B$B"); break;
          case 1: piece = B("\x1B(B"); break;
          case 2: piece = B("\x1B(I"); break;
          case 3: piece = pick(2) ? B("\x1B&@\x1B$B") : B("\x1B$(D"); break;
          case 4: piece = pick(2) ? B("\x1B$") : B("\x1B&@\x1B$"); break;  // escapes cut short
          case 5: case 6: piece = {byte(0x21, 0x7E), byte(0x21, 0x7E)}; break;
          case 7: piece = {byte(0xA1, 0xDF), static_cast<uint8_t>(pick(3) == 0 ? 0xDE : byte(0xA1, 0xDF))}; break;
          case 8: piece = {byte(0x80, 0xFF)}; break;
          default: piece = pick(60) == 0 ? Bytes{0x00} : Bytes{byte(0x01, 0x7F)}; break;
        }
        break;
      case jpcodec::kStreamUtf8:
        switch (pick(9)) {
          case 0: piece = B("plain "); break;
          case 1: case 2: piece = {0xE3, byte(0x80, 0x83), byte(0x80, 0xBF)}; break;  // kana, symbols
          case 3: piece = {byte(0xE4, 0xE9), byte(0x80, 0xBF), byte(0x80, 0xBF)}; break;  // kanji
          case 4: piece = {byte(0xC2, 0xDF), byte(0x80, 0xBF)}; break;
          case 5: piece = {0xF0, byte(0x90, 0xBF), byte(0x80, 0xBF), byte(0x80, 0xBF)}; break;
          case 6: piece = {byte(0xE0, 0xF4), byte(0x80, 0xBF)}; break;  // cut sequences
          case 7: piece = {byte(0x80, 0xFF)}; break;  // strays, C0 C1 F5-FF
          default: piece = {0xED, byte(0xA0, 0xBF), byte(0x80, 0xBF)}; break;  // surrogates
        }
        break;
    }
    text.insert(text.end(), piece.begin(), piece.end());
  }
  return text;
}

const char* Named(StreamCode code) {
  return code == jpcodec::kStreamEuc ? "EUC-JP" : code == jpcodec::kStreamJis ? "JIS" : "UTF-8";
}

void ExpectSame(StreamCode code, const Bytes& text, const std::vector<size_t>& sizes, const std::string& label) {
  const Bytes whole = Whole(code, text);
  const Bytes streamed = Streamed(code, text, sizes);
  if (streamed == whole) return;
  size_t k = 0;
  while (k < whole.size() && k < streamed.size() && whole[k] == streamed[k]) ++k;
  ADD_FAILURE() << Named(code) << ", " << label << ": differs at output byte " << k << " of " << whole.size()
                << " (streamed " << streamed.size() << ")\n  text " << Hex(text).substr(0, 600);
}

const StreamCode kCodes[] = {jpcodec::kStreamEuc, jpcodec::kStreamJis, jpcodec::kStreamUtf8};

TEST(TextStream, ShortTextsCutAtEveryBoundaryGiveTheWholeConversion) {
  std::mt19937 random(17);
  for (const StreamCode code : kCodes) {
    for (int round = 0; round < 400; ++round) {
      const Bytes text = RandomText(code, 1 + random() % 12, &random);
      for (size_t cut = 0; cut <= text.size(); ++cut) {
        ExpectSame(code, text, {cut}, "cut at " + std::to_string(cut));
      }
      std::vector<size_t> bytes(text.size(), 1);  // one byte a block
      ExpectSame(code, text, bytes, "byte by byte");
    }
  }
}

TEST(TextStream, LongTextsInRandomBlocksGiveTheWholeConversion) {
  std::mt19937 random(29);
  for (const StreamCode code : kCodes) {
    for (int round = 0; round < 12; ++round) {
      const Bytes text = RandomText(code, 20000 + random() % 60000, &random);
      std::vector<size_t> sizes;
      for (size_t total = 0; total < text.size();) {
        const size_t choice = random() % 4;
        const size_t size = choice == 0 ? jpcodec::kStreamBlockBytes
                            : choice == 1 ? 1 + random() % 8
                                          : 1 + random() % jpcodec::kStreamBlockBytes;
        sizes.push_back(size);
        total += size;
      }
      ExpectSame(code, text, sizes, "round " + std::to_string(round));
    }
  }
}

// JIS katakana take twice their bytes: a text that cannot fit its room is cut at the same
// character however it is cut into blocks, also where the room runs out inside a block.
TEST(TextStream, JisTextCutForRoomEndsAtTheSameCharacter) {
  std::mt19937 random(41);
  for (size_t kana : {size_t{10}, size_t{70000}, size_t{140000}}) {
    Bytes text = B("\x1B(I");
    for (size_t k = 0; k < kana; ++k) text.push_back(static_cast<uint8_t>(0xB1 + k % 40));
    text.insert(text.end(), {0x1B, '(', 'B', 'x', 'y'});
    for (size_t block : {size_t{1}, size_t{3}, size_t{4096}, size_t{jpcodec::kStreamBlockBytes}}) {
      std::vector<size_t> sizes(text.size() / block + 1, block);
      ExpectSame(jpcodec::kStreamJis, text, sizes, std::to_string(kana) + " kana, blocks of " + std::to_string(block));
    }
    const Bytes whole = Whole(jpcodec::kStreamJis, text);
    EXPECT_LE(whole.size(), text.size()) << "the room is the text's own size";
  }
}

TEST(TextStream, LongJapaneseTextsMatchIconvInAnyBlocks) {
  // Every JIS X 0208 character iconv knows, a few times over with ASCII between, in EUC-JP; the
  // same text in JIS and UTF-8 from iconv. All three stream to iconv's Shift-JIS (CP932 for UTF-8).
  Bytes euc;
  for (int times = 0; times < 4; ++times) {
    for (int row = 0x21; row <= 0x74; ++row) {
      for (int cell = 0x21; cell <= 0x7E; ++cell) {
        const Bytes one = {static_cast<uint8_t>(row | 0x80), static_cast<uint8_t>(cell | 0x80)};
        Bytes check;
        if (!IconvText("SHIFT_JIS", "EUC-JP", one, &check) || check.size() != 2) continue;
        euc.insert(euc.end(), one.begin(), one.end());
        if ((row + cell + times) % 17 == 0) euc.insert(euc.end(), {' ', 'a', '1'});
      }
    }
  }
  Bytes sjis, jis, utf8, cp932;
  ASSERT_TRUE(IconvText("SHIFT_JIS", "EUC-JP", euc, &sjis));
  ASSERT_TRUE(IconvText("ISO-2022-JP", "EUC-JP", euc, &jis));
  // The UTF-8 form as code page 932 decodes the Shift-JIS, which it encodes back the same.
  const bool haveCp932 = IconvText("UTF-8", "CP932", sjis, &utf8) && IconvText("CP932", "UTF-8", utf8, &cp932);
  std::mt19937 random(53);
  for (int round = 0; round < 3; ++round) {
    std::vector<size_t> sizes;
    for (int k = 0; k < 200; ++k) sizes.push_back(1 + random() % (round == 0 ? 7 : jpcodec::kStreamBlockBytes));
    EXPECT_EQ(Streamed(jpcodec::kStreamEuc, euc, sizes), sjis) << "EUC-JP, round " << round;
    EXPECT_EQ(Streamed(jpcodec::kStreamJis, jis, sizes), sjis) << "JIS, round " << round;
    if (haveCp932) {
      EXPECT_EQ(Streamed(jpcodec::kStreamUtf8, utf8, sizes), cp932) << "UTF-8, round " << round;
    }
  }
}

TEST(TextStream, EmptyTextsAndTheEndOfTheTextStopTheStream) {
  for (const StreamCode code : kCodes) {
    EXPECT_EQ(Streamed(code, {}, {}), Bytes{}) << Named(code);
    jpcodec::TextStream stream;
    EXPECT_FALSE(jpcodec::BeginTextStream(&stream, code, 0x7FFFFFFFull)) << Named(code);
  }
  // A NUL ends EUC-JP and JIS text: blocks after it give nothing.
  const Bytes text = B("\xA4\xA2\0\xA4\xA2 more");
  EXPECT_EQ(Streamed(jpcodec::kStreamEuc, text, {1, 1, 1, 1}), Bytes({0x82, 0xA0}));
  EXPECT_EQ(Streamed(jpcodec::kStreamUtf8, B("a\0b"), {1, 1}), B("a\0b"));
}

}  // namespace
}  // namespace jpcodec_test

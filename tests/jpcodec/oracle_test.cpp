// Independent oracles: glibc iconv for every JIS X 0208 character, and Unicode's mapping of the
// half-width katakana to their full-width forms (checked-in data made with Python and iconv).
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "iconv_oracle.h"
#include "test_support.h"

namespace jpcodec_test {
namespace {

// Converts `in` with iconv; false when iconv refuses (no such character in the target).
bool Iconv(const char* to, const char* from, const Bytes& in, Bytes* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  Bytes source = in;
  char buffer[64];
  char* inPtr = reinterpret_cast<char*>(source.data());
  size_t inLeft = source.size();
  char* outPtr = buffer;
  size_t outLeft = sizeof buffer;
  const bool ok = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
                  iconv(cd, nullptr, nullptr, &outPtr, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (ok) out->assign(buffer, outPtr);
  return ok;
}

Bytes Text(const Bytes& text) { return Cat({text, {0x00}}); }

TEST(IconvOracle, EveryJisX0208CharacterInJisAndEucForms) {
  int checked = 0;
  for (int row = 0x21; row <= 0x7E; ++row) {
    for (int cell = 0x21; cell <= 0x7E; ++cell) {
      const Bytes euc = {static_cast<uint8_t>(row | 0x80), static_cast<uint8_t>(cell | 0x80)};
      Bytes sjis;
      if (!Iconv("SHIFT_JIS", "EUC-JP", euc, &sjis)) continue;
      ASSERT_EQ(sjis.size(), 2u) << Hex(euc);
      ++checked;
      const std::string what = "JIS " + Hex({static_cast<uint8_t>(row), static_cast<uint8_t>(cell)});

      const Converted jis = Convert(Text(Cat({B("\x1B$B"), {static_cast<uint8_t>(row),
                                                           static_cast<uint8_t>(cell)}, B("\x1B(B")})));
      ASSERT_EQ(jis.nResult, 2u) << what;
      ASSERT_EQ(Hex(Bytes(jis.bytes.begin(), jis.bytes.begin() + 3)), Hex(Text(sjis))) << what;

      const Converted afterEuc = Convert(Text(Cat({{0xA1, 0xA1}, euc})));
      ASSERT_EQ(afterEuc.nResult, 4u) << what;
      ASSERT_EQ(Hex(afterEuc.bytes), Hex(Text(Cat({{0x81, 0x40}, sjis})))) << what;

      const Converted alone = Convert(Text(euc));
      if (euc[0] >= 0xE0 && euc[0] <= 0xEA) {
        // Rows 64-74: their EUC lead bytes are Shift-JIS lead bytes too, and nothing else decides.
        ASSERT_EQ(alone.nResult, 3u) << what;
        ASSERT_EQ(Hex(alone.bytes), Hex(Text(euc))) << what;
      } else if (row < 0x60) {
        ASSERT_EQ(alone.nResult, 2u) << what;
        ASSERT_EQ(Hex(alone.bytes), Hex(Text(sjis))) << what;
      }
    }
  }
  // JIS X 0208 assigns 6879 characters; glibc's tables know all of them.
  EXPECT_GE(checked, 6879);
}

TEST(IconvOracle, LongTextsOfEveryCharacterMixedWithAscii) {
  // Runs of every length 1-40 between ASCII words put each character at each offset of the block
  // steps, in both forms, and compare the whole text with iconv's.
  Bytes euc, jis;
  int run = 0, runLength = 1;
  for (int row = 0x21; row <= 0x7E; ++row) {
    for (int cell = 0x21; cell <= 0x7E; ++cell) {
      const Bytes one = {static_cast<uint8_t>(row | 0x80), static_cast<uint8_t>(cell | 0x80)};
      Bytes sjis;
      if (!Iconv("SHIFT_JIS", "EUC-JP", one, &sjis)) continue;
      if (run == 0) jis.insert(jis.end(), {0x1B, '$', 'B'});
      euc.insert(euc.end(), one.begin(), one.end());
      jis.insert(jis.end(), {static_cast<uint8_t>(row), static_cast<uint8_t>(cell)});
      if (++run == runLength) {
        const Bytes word = B(runLength % 3 == 0 ? " word " : (runLength % 3 == 1 ? "\r\n" : "x"));
        jis.insert(jis.end(), {0x1B, '(', 'B'});
        euc.insert(euc.end(), word.begin(), word.end());
        jis.insert(jis.end(), word.begin(), word.end());
        run = 0;
        runLength = runLength % 40 + 1;
      }
    }
  }
  if (run != 0) jis.insert(jis.end(), {0x1B, '(', 'B'});
  Bytes expected;
  ASSERT_TRUE(IconvText("SHIFT_JIS", "EUC-JP", euc, &expected));
  for (const Bytes* text : {&euc, &jis}) {
    const Converted out = Convert(Text(*text));
    ASSERT_EQ(out.nResult, expected.size()) << (text == &euc ? "EUC-JP" : "JIS");
    const Bytes got(out.bytes.begin(), out.bytes.begin() + static_cast<long>(expected.size()));
    if (got != expected) {
      size_t k = 0;
      while (got[k] == expected[k]) ++k;
      FAIL() << (text == &euc ? "EUC-JP" : "JIS") << " differs at output byte " << k;
    }
  }
}

// The pointer that the Encoding Standard's decoders give a two-byte code: both the EUC-JP and the
// Shift_JIS decoder look the pointer up in the one jis0208 index, so equal pointers mean the same
// character, also in rows 85-94 where browsers place the NEC-selected IBM extension kanji.
int EucPointer(uint8_t lead, uint8_t trail) { return (lead - 0xA1) * 94 + (trail - 0xA1); }
int ShiftJisPointer(uint8_t lead, uint8_t trail) {
  const int leadOffset = lead < 0xA0 ? 0x81 : 0xC1;
  const int trailOffset = trail < 0x7F ? 0x40 : 0x41;
  return (lead - leadOffset) * 188 + trail - trailOffset;
}

TEST(EncodingStandardOracle, EveryEucCodeKeepsItsCharacterIncludingRows83To94) {
  for (int lead = 0xA1; lead <= 0xFE; ++lead) {
    for (int trail = 0xA1; trail <= 0xFE; ++trail) {
      const Bytes euc = {static_cast<uint8_t>(lead), static_cast<uint8_t>(trail)};
      const Converted out = Convert(Text(Cat({{0xA1, 0xA1}, euc})));
      ASSERT_EQ(out.nResult, 4u) << Hex(euc);
      ASSERT_EQ(ShiftJisPointer(out.bytes[2], out.bytes[3]), EucPointer(euc[0], euc[1])) << Hex(euc);
    }
  }
  // Code page 932 holds real kanji (not private-use codes) where extension kanji land.
  for (int lead = 0xF9; lead <= 0xFC; ++lead) {
    const Converted out = Convert(Text({0xA1, 0xA1, static_cast<uint8_t>(lead), 0xA1}));
    Bytes utf8;
    ASSERT_TRUE(Iconv("UTF-8", "CP932", Bytes(out.bytes.begin() + 2, out.bytes.begin() + 4), &utf8));
    ASSERT_EQ(utf8.size(), 3u);
    EXPECT_TRUE(utf8[0] >= 0xE4 && utf8[0] <= 0xE9) << "CJK ideograph expected, got " << Hex(utf8);
  }
}

struct KanaRow {
  uint8_t half;
  Bytes full, voiced, semiVoiced;  // empty: no such form
};

Bytes FromHex(const std::string& hex) {
  Bytes out;
  if (hex == "-") return out;
  for (size_t k = 0; k + 1 < hex.size(); k += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(k, 2), nullptr, 16)));
  }
  return out;
}

std::vector<KanaRow> LoadKanaTable() {
  const char* dir = std::getenv("KARVEL_TEST_DATA");
  std::ifstream in(std::string(dir ? dir : ".") + "/jpcodec/data/halfwidth_katakana.tsv");
  std::vector<KanaRow> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string half, codepoint, glyph, full, voiced, semi;
    fields >> half >> codepoint >> glyph >> full >> voiced >> semi;
    rows.push_back({static_cast<uint8_t>(std::stoi(half, nullptr, 16)), FromHex(full), FromHex(voiced),
                    FromHex(semi)});
  }
  return rows;
}

TEST(UnicodeOracle, EveryHalfWidthKatakanaByteWidensInEucAndJis) {
  const std::vector<KanaRow> rows = LoadKanaTable();
  ASSERT_EQ(rows.size(), 61u) << "halfwidth_katakana.tsv not found or incomplete";
  for (const KanaRow& row : rows) {
    const std::string what = "byte " + Hex({row.half});
    const Converted euc = Convert(Text({0xA1, 0xA1, 0x8E, row.half}));
    EXPECT_EQ(Hex(euc.bytes), Hex(Text(Cat({{0x81, 0x40}, row.full})))) << what;
    const Converted jis = Convert(Text(Cat({B("\x1B(I"), {row.half}})));
    EXPECT_EQ(Hex(Bytes(jis.bytes.begin(), jis.bytes.begin() + 3)), Hex(Text(row.full))) << what;
  }
}

TEST(UnicodeOracle, NeighbourRowsGiveTheRightVoicedFormsWhereTheyExist) {
  // The neighbour rule is right for ｶ-ﾄ (voiced) and ﾊ-ﾎ (both marks).
  int checked = 0;
  for (const KanaRow& row : LoadKanaTable()) {
    const bool kaToTo = row.half >= 0xB6 && row.half <= 0xC4;
    const bool haToHo = row.half >= 0xCA && row.half <= 0xCE;
    if (!kaToTo && !haToHo) continue;
    const Converted voiced = Convert(Text(Cat({B("\x1B(I"), {row.half, 0xDE}})));
    EXPECT_EQ(Hex(Bytes(voiced.bytes.begin(), voiced.bytes.begin() + 3)), Hex(Text(row.voiced)))
        << Hex({row.half});
    ++checked;
    if (haToHo) {
      const Converted semi = Convert(Text({0xA1, 0xA1, 0x8E, row.half, 0xDF}));
      EXPECT_EQ(Hex(Bytes(semi.bytes.begin(), semi.bytes.begin() + 5)),
                Hex(Text(Cat({{0x81, 0x40}, row.semiVoiced}))))
          << Hex({row.half});
    }
  }
  EXPECT_EQ(checked, 20);
}

}  // namespace
}  // namespace jpcodec_test

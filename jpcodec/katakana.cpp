// The half-width katakana table and WidenKatakana.
#include <array>

#include "jpcodec/internal.h"

namespace jpcodec {

// Rows 0-85 are the Shift-JIS katakana block in code order, rows 86-91 six punctuation marks. Each
// key sits on the row of its own full-width form, so a kana's voiced form (where it has one) is the
// next row and its semi-voiced form the row after that; voiced forms and ヮ ヰ ヱ ヴ ヵ have no key.
// Comment: row number, half-width key, full-width character.
constexpr KatakanaRow kKatakanaTable[kKatakanaRows] = {
    {0xA0,  0x83, 0x3F},  //  0 (the code just below ァ)
    {0xA7,  0x83, 0x40},  //  1 ｧ ァ
    {0xB1,  0x83, 0x41},  //  2 ｱ ア
    {0xA8,  0x83, 0x42},  //  3 ｨ ィ
    {0xB2,  0x83, 0x43},  //  4 ｲ イ
    {0xA9,  0x83, 0x44},  //  5 ｩ ゥ
    {0xB3,  0x83, 0x45},  //  6 ｳ ウ
    {0xAA,  0x83, 0x46},  //  7 ｪ ェ
    {0xB4,  0x83, 0x47},  //  8 ｴ エ
    {0xAB,  0x83, 0x48},  //  9 ｫ ォ
    {0xB5,  0x83, 0x49},  // 10 ｵ オ
    {0xB6,  0x83, 0x4A},  // 11 ｶ カ
    {kNoKey, 0x83, 0x4B},  // 12 ガ
    {0xB7,  0x83, 0x4C},  // 13 ｷ キ
    {kNoKey, 0x83, 0x4D},  // 14 ギ
    {0xB8,  0x83, 0x4E},  // 15 ｸ ク
    {kNoKey, 0x83, 0x4F},  // 16 グ
    {0xB9,  0x83, 0x50},  // 17 ｹ ケ
    {kNoKey, 0x83, 0x51},  // 18 ゲ
    {0xBA,  0x83, 0x52},  // 19 ｺ コ
    {kNoKey, 0x83, 0x53},  // 20 ゴ
    {0xBB,  0x83, 0x54},  // 21 ｻ サ
    {kNoKey, 0x83, 0x55},  // 22 ザ
    {0xBC,  0x83, 0x56},  // 23 ｼ シ
    {kNoKey, 0x83, 0x57},  // 24 ジ
    {0xBD,  0x83, 0x58},  // 25 ｽ ス
    {kNoKey, 0x83, 0x59},  // 26 ズ
    {0xBE,  0x83, 0x5A},  // 27 ｾ セ
    {kNoKey, 0x83, 0x5B},  // 28 ゼ
    {0xBF,  0x83, 0x5C},  // 29 ｿ ソ
    {kNoKey, 0x83, 0x5D},  // 30 ゾ
    {0xC0,  0x83, 0x5E},  // 31 ﾀ タ
    {kNoKey, 0x83, 0x5F},  // 32 ダ
    {0xC1,  0x83, 0x60},  // 33 ﾁ チ
    {kNoKey, 0x83, 0x61},  // 34 ヂ
    {0xAF,  0x83, 0x62},  // 35 ｯ ッ
    {0xC2,  0x83, 0x63},  // 36 ﾂ ツ
    {kNoKey, 0x83, 0x64},  // 37 ヅ
    {0xC3,  0x83, 0x65},  // 38 ﾃ テ
    {kNoKey, 0x83, 0x66},  // 39 デ
    {0xC4,  0x83, 0x67},  // 40 ﾄ ト
    {kNoKey, 0x83, 0x68},  // 41 ド
    {0xC5,  0x83, 0x69},  // 42 ﾅ ナ
    {0xC6,  0x83, 0x6A},  // 43 ﾆ ニ
    {0xC7,  0x83, 0x6B},  // 44 ﾇ ヌ
    {0xC8,  0x83, 0x6C},  // 45 ﾈ ネ
    {0xC9,  0x83, 0x6D},  // 46 ﾉ ノ
    {0xCA,  0x83, 0x6E},  // 47 ﾊ ハ
    {kNoKey, 0x83, 0x6F},  // 48 バ
    {kNoKey, 0x83, 0x70},  // 49 パ
    {0xCB,  0x83, 0x71},  // 50 ﾋ ヒ
    {kNoKey, 0x83, 0x72},  // 51 ビ
    {kNoKey, 0x83, 0x73},  // 52 ピ
    {0xCC,  0x83, 0x74},  // 53 ﾌ フ
    {kNoKey, 0x83, 0x75},  // 54 ブ
    {kNoKey, 0x83, 0x76},  // 55 プ
    {0xCD,  0x83, 0x77},  // 56 ﾍ ヘ
    {kNoKey, 0x83, 0x78},  // 57 ベ
    {kNoKey, 0x83, 0x79},  // 58 ペ
    {0xCE,  0x83, 0x7A},  // 59 ﾎ ホ
    {kNoKey, 0x83, 0x7B},  // 60 ボ
    {kNoKey, 0x83, 0x7C},  // 61 ポ
    {0xCF,  0x83, 0x7D},  // 62 ﾏ マ
    {0xD0,  0x83, 0x7E},  // 63 ﾐ ミ
    {0xD1,  0x83, 0x80},  // 64 ﾑ ム
    {0xD2,  0x83, 0x81},  // 65 ﾒ メ
    {0xD3,  0x83, 0x82},  // 66 ﾓ モ
    {0xAC,  0x83, 0x83},  // 67 ｬ ャ
    {0xD4,  0x83, 0x84},  // 68 ﾔ ヤ
    {0xAD,  0x83, 0x85},  // 69 ｭ ュ
    {0xD5,  0x83, 0x86},  // 70 ﾕ ユ
    {0xAE,  0x83, 0x87},  // 71 ｮ ョ
    {0xD6,  0x83, 0x88},  // 72 ﾖ ヨ
    {0xD7,  0x83, 0x89},  // 73 ﾗ ラ
    {0xD8,  0x83, 0x8A},  // 74 ﾘ リ
    {0xD9,  0x83, 0x8B},  // 75 ﾙ ル
    {0xDA,  0x83, 0x8C},  // 76 ﾚ レ
    {0xDB,  0x83, 0x8D},  // 77 ﾛ ロ
    {kNoKey, 0x83, 0x8E},  // 78 ヮ
    {0xDC,  0x83, 0x8F},  // 79 ﾜ ワ
    {kNoKey, 0x83, 0x90},  // 80 ヰ
    {kNoKey, 0x83, 0x91},  // 81 ヱ
    {0xA6,  0x83, 0x92},  // 82 ｦ ヲ
    {0xDD,  0x83, 0x93},  // 83 ﾝ ン
    {kNoKey, 0x83, 0x94},  // 84 ヴ
    {kNoKey, 0x83, 0x95},  // 85 ヵ
    {0xA1,  0x81, 0x42},  // 86 ｡ 。
    {0xA2,  0x81, 0x75},  // 87 ｢ 「
    {0xA3,  0x81, 0x76},  // 88 ｣ 」
    {0xA4,  0x81, 0x41},  // 89 ､ 、
    {0xA5,  0x81, 0x45},  // 90 ･ ・
    {0xB0,  0x81, 0x5B},  // 91 ｰ ー
};

namespace {

constexpr uint8_t kVoicedMark = 0xDE;
constexpr uint8_t kSemiVoicedMark = 0xDF;

// Key byte -> first row with that key (-1: none). Built from the table at compile time, so a lookup
// gives what a search from row 0 would, in one step.
constexpr std::array<int8_t, 256> BuildRowIndex(const KatakanaRow (&table)[kKatakanaRows]) {
  std::array<int8_t, 256> index{};
  for (auto& row : index) row = -1;
  for (int r = kKatakanaRows - 1; r >= 0; --r) {
    if (table[r].bKey != kNoKey) index[table[r].bKey] = static_cast<int8_t>(r);
  }
  return index;
}

constexpr std::array<int8_t, 256> kRowOfKey = BuildRowIndex(kKatakanaTable);

}  // namespace

int WidenKatakana(const uint8_t* buf, int32_t p, int32_t len, uint8_t* scratch, int32_t* j,
                  int32_t limit) {
  const int row = kRowOfKey[buf[p]];
  if (row < 0) {
    // No row (a 7-bit byte, a mark standing alone, any other byte): one substitute; a mark after
    // the byte is read on its own next.
    if (*j + 1 > limit) return 0;
    scratch[(*j)++] = kSubstitute;
    return 1;
  }
  if (*j + 2 > limit) return 0;

  int offset = 0;
  if (p + 1 < len) {
    if (buf[p + 1] == kVoicedMark) offset = 1;
    if (buf[p + 1] == kSemiVoicedMark) offset = 2;
  }
  // ｰ and ･ sit on the last rows: a mark after them has no neighbour row, so the kana keeps its own
  // form and the mark is left to be read on its own.
  if (row + offset >= kKatakanaRows) offset = 0;

  const KatakanaRow& out = kKatakanaTable[row + offset];
  scratch[*j] = out.bLead;
  scratch[*j + 1] = out.bTrail;
  *j += 2;
  return offset == 0 ? 1 : 2;
}

}  // namespace jpcodec

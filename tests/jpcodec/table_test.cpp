// The katakana table's shape, walked row by row.
#include <gtest/gtest.h>

#include <set>

#include "jpcodec/internal.h"

namespace jpcodec {
namespace {

TEST(KatakanaTable, RowsKeysAndOrder) {
  std::set<int> keys;
  int keyedRows = 0;
  for (int r = 0; r < kKatakanaRows; ++r) {
    const KatakanaRow& row = kKatakanaTable[r];
    if (r <= 85) {
      // The Shift-JIS katakana block in code order, 0x83 0x3F-0x83 0x95 without 0x7F.
      const int code = 0x3F + r + (r >= 0x40 ? 1 : 0);
      EXPECT_EQ(row.bLead, 0x83) << "row " << r;
      EXPECT_EQ(row.bTrail, code) << "row " << r;
    }
    if (row.bKey == kNoKey) continue;
    ++keyedRows;
    EXPECT_TRUE(keys.insert(row.bKey).second) << "duplicate key in row " << r;
    EXPECT_GE(row.bKey, 0xA0) << "row " << r;
    EXPECT_LE(row.bKey, 0xDD) << "row " << r;
  }
  EXPECT_EQ(keyedRows, 62);  // 0xA0-0xDD
  EXPECT_EQ(kKatakanaTable[86].bLead, 0x81);
}

}  // namespace
}  // namespace jpcodec

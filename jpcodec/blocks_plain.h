// Block steps without vector instructions: 8 bytes a block, one byte at a time (any i686).
#ifndef KARVEL_JPCODEC_BLOCKS_PLAIN_H
#define KARVEL_JPCODEC_BLOCKS_PLAIN_H

#include <cstdint>
#include <cstring>

#include "jpcodec/internal.h"

namespace jpcodec {
namespace narrow {

inline constexpr int32_t kBlockBytes = 8;

inline int32_t LeadingInRange(const uint8_t* p, uint8_t lo, uint8_t hi) {
  int32_t n = 0;
  while (n < kBlockBytes && p[n] >= lo && p[n] <= hi) ++n;
  return n;
}

inline int32_t LeadingPlainBytes(const uint8_t* p) {
  int32_t n = 0;
  while (n < kBlockBytes && p[n] != 0x00 && p[n] != 0x1B) ++n;
  return n;
}

inline int32_t LeadingUndecidedAscii(const uint8_t* p) {
  int32_t n = 0;
  while (n < kBlockBytes && p[n] >= 0x01 && p[n] <= 0x7F && p[n] != 0x1B) ++n;
  return n;
}

inline bool AllInRange(const uint8_t* p, uint8_t lo, uint8_t hi) {
  return LeadingInRange(p, lo, hi) == kBlockBytes;
}

inline bool AllUndecidedAscii4(const uint8_t* p) {
  for (int k = 0; k < 4; ++k) {
    if (LeadingUndecidedAscii(p + k * kBlockBytes) != kBlockBytes) return false;
  }
  return true;
}

inline void CopyBlock(uint8_t* to, const uint8_t* from) { std::memcpy(to, from, kBlockBytes); }

inline void ConvertPairBlock(uint8_t* to, const uint8_t* from, uint8_t bias) {
  for (int32_t k = 0; k < kBlockBytes; k += 2) {
    to[k] = static_cast<uint8_t>(from[k] - bias);
    to[k + 1] = static_cast<uint8_t>(from[k + 1] - bias);
    JisToSjis(to + k);
  }
}

inline int32_t ConvertEucWindow(uint8_t* to, const uint8_t* from) {
  int32_t k = 0;
  while (k < kBlockBytes) {
    if (from[k] >= 0x01 && from[k] <= 0x7F) {
      to[k] = from[k];
      k += 1;
    } else if (k + 1 < kBlockBytes && from[k] >= 0xA1 && from[k] <= 0xFE && from[k + 1] >= 0xA1 &&
               from[k + 1] <= 0xFE) {
      to[k] = static_cast<uint8_t>(from[k] - 0x80);
      to[k + 1] = static_cast<uint8_t>(from[k + 1] - 0x80);
      JisToSjis(to + k);
      k += 2;
    } else {
      break;
    }
  }
  return k;
}

}  // namespace narrow
}  // namespace jpcodec

#endif  // KARVEL_JPCODEC_BLOCKS_PLAIN_H

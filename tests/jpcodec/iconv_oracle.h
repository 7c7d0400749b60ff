// glibc's iconv as the converter tests' independent oracle, for whole texts of any length.
#ifndef KARVEL_TESTS_JPCODEC_ICONV_ORACLE_H
#define KARVEL_TESTS_JPCODEC_ICONV_ORACLE_H

#include <iconv.h>

#include "test_support.h"

namespace jpcodec_test {

// Converts a whole text with iconv, the shift state closed at its end (a JIS text ends in ASCII);
// false when iconv refuses (a character the target lacks, an invalid input).
inline bool IconvText(const char* to, const char* from, const Bytes& in, Bytes* out) {
  out->assign(in.size() * 2 + 16, 0);
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  Bytes source = in;
  char* inPtr = reinterpret_cast<char*>(source.data());
  size_t inLeft = source.size();
  char* outPtr = reinterpret_cast<char*>(out->data());
  size_t outLeft = out->size();
  const bool ok = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
                  iconv(cd, nullptr, nullptr, &outPtr, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  out->resize(out->size() - outLeft);
  return ok;
}

}  // namespace jpcodec_test

#endif

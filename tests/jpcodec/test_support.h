// Helpers shared by the converter tests: byte strings, hex for failure messages, and a call of the
// converter on a heap buffer of exactly `len` bytes, so AddressSanitizer sees any access past it.
#ifndef KARVEL_TESTS_JPCODEC_TEST_SUPPORT_H
#define KARVEL_TESTS_JPCODEC_TEST_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "jpcodec/internal.h"

namespace jpcodec_test {

using Bytes = std::vector<uint8_t>;

inline Bytes B(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline std::string Hex(const Bytes& bytes) {
  std::string out;
  char cell[4];
  for (uint8_t b : bytes) {
    std::snprintf(cell, sizeof cell, "%02X ", b);
    out += cell;
  }
  return out;
}

struct Converted {
  unsigned long nResult;
  Bytes bytes;
};

// Converts a copy of `input` (its size is `len`) in an exactly sized heap buffer.
inline Converted Convert(const Bytes& input) {
  const size_t n = input.size();
  std::unique_ptr<char[]> buf(new char[n == 0 ? 1 : n]);
  if (n > 0) std::memcpy(buf.get(), input.data(), n);
  const unsigned long result = jpcodec::ConvertText(buf.get(), n);
  return {result, Bytes(buf.get(), buf.get() + n)};
}

}  // namespace jpcodec_test

#endif

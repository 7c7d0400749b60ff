// Random texts against the plain reference converter: the block steps, the cut rules and the
// buffer-end rules must give the same bytes and result. Buffers are exactly `len` bytes, so the
// sanitizer build also proves nothing is read or written past them.
#include <gtest/gtest.h>

#include <random>

#include "reference_converter.h"
#include "test_support.h"

namespace jpcodec_test {
namespace {

// Pieces that random texts are made of: every byte class the converters tell apart.
Bytes RandomPiece(std::mt19937& rng) {
  static const std::vector<Bytes> kEscapes = {
      B("\x1B$@"), B("\x1B$B"), B("\x1B&@\x1B$B"), B("\x1B$(D"), B("\x1B(J"), B("\x1B(H"),
      B("\x1B(B"), B("\x1B(I"), B("\x1B$A"), B("\x1B&@"), B("\x1B(")};
  auto pick = [&](int lo, int hi) {
    return static_cast<uint8_t>(std::uniform_int_distribution<int>(lo, hi)(rng));
  };
  switch (std::uniform_int_distribution<int>(0, 11)(rng)) {
    case 0: return kEscapes[pick(0, static_cast<int>(kEscapes.size()) - 1)];
    case 1: return Bytes(pick(1, 40), pick(0x20, 0x7E));            // ASCII run
    case 2: { Bytes run; for (int k = pick(1, 20); k > 0; --k) run.push_back(pick(0xA1, 0xFE)); return run; }
    case 3: { Bytes run; for (int k = pick(1, 20); k > 0; --k) run.push_back(pick(0x21, 0x7E)); return run; }
    case 4: return {0x8E, pick(0xA0, 0xDF)};
    case 5: return {pick(0xA0, 0xDF), pick(0xDE, 0xDF)};
    case 6: return {0x00};
    case 7: return {pick(0xE0, 0xEA)};
    case 8: return {pick(0xF3, 0xFF), pick(0x00, 0xFF)};
    case 9: return {pick(0x80, 0x9F)};
    default: return {pick(0x00, 0xFF)};
  }
}

void ExpectSameAsReference(const Bytes& input, int caseNumber) {
  const ReferenceResult expected = ReferenceConvert(input);
  const Converted actual = Convert(input);
  ASSERT_EQ(actual.nResult, expected.nResult) << "case " << caseNumber << ": " << Hex(input);
  ASSERT_EQ(Hex(actual.bytes), Hex(expected.bytes)) << "case " << caseNumber << ": " << Hex(input);
}

TEST(Differential, RandomTextsMatchThePlainReference) {
  std::mt19937 rng(20261208);
  for (int n = 0; n < 30000; ++n) {
    Bytes text;
    // Half the texts start with a deciding piece so that most of them are converted.
    if (n % 2 == 0) text = (n % 4 == 0) ? B("\x1B$B") : Bytes{0xA1, 0xA1};
    const int pieces = std::uniform_int_distribution<int>(0, 12)(rng);
    for (int k = 0; k < pieces; ++k) {
      const Bytes piece = RandomPiece(rng);
      text.insert(text.end(), piece.begin(), piece.end());
    }
    if (n % 3 != 0) text.push_back(0x00);  // a third have no NUL at the end
    if (text.empty()) continue;
    ExpectSameAsReference(text, n);
  }
}

TEST(Differential, EveryPrefixOfAMixedTextMatchesTheReference) {
  // Cutting one text at every length puts each character, escape and block edge on the buffer end.
  const Bytes text = Cat({B("ab\x1B$B"), Bytes(34, 0x30), B("\x1B(I\xB6\xDE\xB1\xCA\xDF\x1B(Bxyz"),
                          {0xA4, 0xA2, 0x8E, 0xB6, 0xDE, 0xF9, 0xA1, 0x8E}, Bytes(33, 0xB0)});
  for (size_t len = 1; len <= text.size(); ++len) {
    ExpectSameAsReference(Bytes(text.begin(), text.begin() + len), static_cast<int>(len));
  }
}

}  // namespace
}  // namespace jpcodec_test

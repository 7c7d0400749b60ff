// Code page 932 to UTF-8: a table of characters and of each class of byte that begins none, the
// converter's decoder held to the back-end kit's on every byte and pair, and the output room never
// passed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jpcodec/converters.h"
#include "karvel_cp932.h"
#include "test_support.h"

namespace jpcodec_test {
namespace {

using namespace std::string_literals;

// The bytes DecodeCp932 writes for `input` into exactly `room` bytes on the heap (so that
// AddressSanitizer sees a write past them), and what it returned.
struct Decoded {
  bool bWhole;
  std::string utf8;
};

Decoded Decode(const std::string& input, size_t room) {
  std::vector<uint8_t> out(room);
  size_t written = room + 1;
  const bool whole = jpcodec::DecodeCp932(reinterpret_cast<const uint8_t*>(input.data()), input.size(),
                                          out.data(), room, &written);
  EXPECT_LE(written, room) << Hex(B(input));
  if (written > room) written = room;
  return {whole, std::string(reinterpret_cast<const char*>(out.data()), written)};
}

std::string DecodeWhole(const std::string& input) {
  const Decoded decoded = Decode(input, jpcodec::Cp932ToUtf8Room(input.size()));
  EXPECT_TRUE(decoded.bWhole) << Hex(B(input));
  return decoded.utf8;
}

const struct Case {
  const char* name;
  std::string cp932, utf8;
} kCases[] = {
    {"nothing", "", ""},
    {"ASCII, NUL, backslash and tilde as themselves", "a\0\\~"s, "a\0\\~"s},
    {"0x80 is U+0080", "\x80", "\u0080"},
    {"half-width katakana from A1 to DF", "\xA1\xB6\xC5\xDF", "｡ｶﾅﾟ"},
    {"kana and kanji", "\x83\x65\x83\x58\x83\x67\x8E\x52\x93\x63", "テスト山田"},
    {"a trail byte 5C is no backslash", "\x83\x5C", "ソ"},
    {"NEC row 13, IBM extensions, the wave dash", "\x87\x40\x87\x8A\xFB\xFC\xFA\xB1\x81\x60", "①㈱髙﨑～"},
    {"the NEC selection of IBM extensions", "\xED\x40", "纊"},
    {"the last character of the table", "\xFC\x4B", "黑"},
    {"user-defined codes, first and last", "\xF0\x40\xF9\xFC", "\uE000\uE757"},
    {"user-defined codes across the 7F gap", "\xF0\x7E\xF0\x80", "\uE03E\uE03F"},
    {"bytes that begin no character", "\xA0\xFD\xFE\xFF", "\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"a lead byte at the end", "a\x81", "a\uFFFD"},
    {"a lead byte before a byte no trail is, read again", "\x81\x7F\x81\x0A\x9F\x3F\xE0\xFD",
     "\uFFFD\x7F\uFFFD\n\uFFFD?\uFFFD\uFFFD"},
    {"a pair without a character: its trail read again", "\x85\x40", "\uFFFD@"},
    {"... as half-width katakana", "\x81\xAD", "\uFFFD\uFF6D"},
    {"... as the lead of the next pair", "\x85\x81\x40", "\uFFFD\u3000"},
    {"... as a lead byte at the end", "\xFC\xFC", "\uFFFD\uFFFD"},
    {"a lead byte is a trail byte too", "\x81\x81\x40", "＝@"},
    {"an upload's name", "\x8E\x52\x93\x63(2).txt", "山田(2).txt"},
};

TEST(Cp932Decode, CharactersAndBytes) {
  for (const Case& c : kCases) EXPECT_EQ(Hex(B(DecodeWhole(c.cp932))), Hex(B(c.utf8))) << c.name;
}

// The kit decodes a value as the converter decodes it: each of the cases, every byte and every
// pair, alone and before a byte that may be read again with the pair's second byte.
TEST(Cp932Decode, AgreesWithTheKitOnEveryByteAndPair) {
  std::vector<std::string> inputs;
  for (const Case& c : kCases) inputs.push_back(c.cp932);
  for (int first = 0; first < 256; ++first) {
    inputs.push_back(std::string(1, static_cast<char>(first)));
    for (int second = 0; second < 256; ++second) {
      const std::string pair{static_cast<char>(first), static_cast<char>(second)};
      for (const char* after : {"", "\x40", "\x81", "\xA1"}) inputs.push_back(pair + after);
    }
  }
  int differences = 0;
  for (const std::string& input : inputs) {
    const std::string ours = DecodeWhole(input);
    const std::string kit = karvel::DecodeValue(input);
    if (ours == kit) continue;
    ADD_FAILURE() << Hex(B(input)) << ": " << Hex(B(ours)) << "against the kit's " << Hex(B(kit));
    if (++differences == 10) break;
  }
}

// With any room, what is written is the longest run of whole characters of the decoded text that
// fits, and only a room that holds all of it reports the text whole.
TEST(Cp932Decode, ShortRoomKeepsWholeCharactersAndNeverPassesIt) {
  std::vector<std::string> inputs;
  for (const Case& c : kCases) inputs.push_back(c.cp932);
  inputs.push_back("\xA0\xA0\xA0");  // the most growth: three bytes out for each byte
  inputs.push_back("\xB6\xC5\x80z");
  for (const std::string& input : inputs) {
    const std::string whole = DecodeWhole(input);
    for (size_t room = 0; room <= jpcodec::Cp932ToUtf8Room(input.size()); ++room) {
      size_t fits = room < whole.size() ? room : whole.size();
      while (fits > 0 && fits < whole.size() && (static_cast<uint8_t>(whole[fits]) & 0xC0) == 0x80) --fits;
      const Decoded decoded = Decode(input, room);
      EXPECT_EQ(decoded.bWhole, room >= whole.size()) << Hex(B(input)) << " room " << room;
      EXPECT_EQ(Hex(B(decoded.utf8)), Hex(B(whole.substr(0, fits)))) << Hex(B(input)) << " room " << room;
    }
  }
}

}  // namespace
}  // namespace jpcodec_test

#include "reference_converter.h"

#include <cstring>

#include "jpcodec/internal.h"

namespace jpcodec_test {

namespace {

using jpcodec::kKatakanaRows;
using jpcodec::kKatakanaTable;
using jpcodec::kNoKey;

enum Code { kNone, kEuc, kJis };

Code Detect(const std::vector<uint8_t>& in) {
  bool skip = false;
  for (uint8_t b : in) {
    if (b == 0) return kNone;
    if (b == 0x1B) return kJis;
    if (skip) { skip = false; continue; }
    if ((b >= 0x81 && b <= 0x84) || (b >= 0x88 && b <= 0x9F)) return kNone;
    if (b >= 0xE0 && b <= 0xEA) { skip = true; continue; }
    if ((b >= 0xA1 && b <= 0xDF) || (b >= 0xEB && b <= 0xF2)) return kEuc;
  }
  return kNone;
}

void Pair(uint8_t a, uint8_t b, std::vector<uint8_t>& out) {
  uint8_t first = (uint8_t)(((uint8_t)(a + 1) >> 1) + (a < 0x5F ? 0x70 : 0xB0));
  uint8_t second;
  if (a % 2 == 0) second = (uint8_t)(b + 0x7E);
  else if (b < 0x60) second = (uint8_t)(b + 0x1F);
  else second = (uint8_t)(b + 0x20);
  out.push_back(first);
  out.push_back(second);
}

// Appends the widened kana at in[p]; returns the bytes consumed, 0 when `cap` would be passed.
size_t Kana(const std::vector<uint8_t>& in, size_t p, std::vector<uint8_t>& out, size_t cap) {
  int row = -1;
  for (int r = 0; r < kKatakanaRows; r++) {
    if (kKatakanaTable[r].bKey != kNoKey && kKatakanaTable[r].bKey == in[p]) { row = r; break; }
  }
  if (row < 0) {
    if (out.size() + 1 > cap) return 0;
    out.push_back('?');
    return 1;
  }
  if (out.size() + 2 > cap) return 0;
  int step = 0;
  if (p + 1 < in.size() && in[p + 1] == 0xDE) step = 1;
  if (p + 1 < in.size() && in[p + 1] == 0xDF) step = 2;
  if (row + step > 91) step = 0;
  out.push_back(kKatakanaTable[row + step].bLead);
  out.push_back(kKatakanaTable[row + step].bTrail);
  return step ? 2 : 1;
}

std::vector<uint8_t> Euc(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out;
  size_t i = 0, n = in.size();
  while (i < n) {
    uint8_t b = in[i];
    if (b == 0) break;
    bool twoByte = (b >= 0xA1 && b <= 0xF2) ||
                   (b >= 0xF3 && b <= 0xFE && i + 1 < n && in[i + 1] >= 0xA1 && in[i + 1] <= 0xFE);
    if (twoByte) {
      if (i + 1 == n) break;
      Pair((uint8_t)(b - 0x80), (uint8_t)(in[i + 1] - 0x80), out);
      i += 2;
    } else if (b == 0x8E) {
      if (i + 1 == n || in[i + 1] == 0) { out.push_back('?'); i++; continue; }
      i += 1 + Kana(in, i + 1, out, n);
    } else {
      out.push_back(b);
      i++;
    }
  }
  return out;
}

std::vector<uint8_t> Jis(const std::vector<uint8_t>& in) {
  static const std::vector<std::vector<uint8_t>> escapes = {
      {0x1B, '$', '@'}, {0x1B, '$', 'B'}, {0x1B, '&', '@', 0x1B, '$', 'B'}, {0x1B, '$', '(', 'D'},
      {0x1B, '(', 'J'}, {0x1B, '(', 'H'}, {0x1B, '(', 'B'}, {0x1B, '(', 'I'}};
  static const int modes[] = {2, 2, 2, 2, 0, 0, 0, 1};  // 0 single, 1 katakana, 2 double
  std::vector<uint8_t> out;
  size_t n = in.size(), cap = n - 1, i = 0;
  int mode = 0;
  while (i < n) {
    if (in[i] == 0) break;
    bool escaped = false;
    for (size_t e = 0; e < escapes.size() && !escaped; e++) {
      const auto& seq = escapes[e];
      if (i + seq.size() <= n && std::memcmp(&in[i], seq.data(), seq.size()) == 0) {
        mode = modes[e];
        i += seq.size();
        escaped = true;
      }
    }
    if (escaped) continue;
    if (mode == 0) {
      if (out.size() + 1 > cap) break;
      out.push_back(in[i]);
      i++;
    } else if (mode == 2) {
      if (i + 1 == n || out.size() + 2 > cap) break;
      Pair(in[i], in[i + 1], out);
      i += 2;
    } else {
      size_t used = Kana(in, i, out, cap);
      if (used == 0) break;
      i += used;
    }
  }
  return out;
}

}  // namespace

ReferenceResult ReferenceConvert(const std::vector<uint8_t>& input) {
  ReferenceResult result{static_cast<unsigned long>(input.size()), input};
  if (input.empty() || input.size() > 0x7FFFFFFF) return result;
  Code code = Detect(input);
  if (code == kNone) return result;
  std::vector<uint8_t> text = code == kEuc ? Euc(input) : Jis(input);
  if (text.size() < input.size()) text.push_back(0);  // the terminator
  size_t k = 0;
  while (k < text.size() && text[k] != 0) k++;
  if (k < text.size()) {
    std::memcpy(result.bytes.data(), text.data(), k + 1);
    result.nResult = k;
  } else {
    std::memcpy(result.bytes.data(), text.data(), text.size());
    result.nResult = input.size();
  }
  return result;
}

}  // namespace jpcodec_test

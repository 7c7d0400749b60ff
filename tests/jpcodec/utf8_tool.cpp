// utf8_to_sjis_tool: standard input, UTF-8, to standard output in code page 932, as the extension
// converts a declared UTF-8 value. For the oracle tests in Python.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "jpcodec/utf8_to_sjis.h"

int main() {
  std::string in;
  char block[65536];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, stdin)) > 0) in.append(block, got);
  std::vector<uint8_t> out(jpcodec::Utf8ToSjisRoom(in.size()));
  const size_t written = jpcodec::ConvertUtf8ToSjis(reinterpret_cast<const uint8_t*>(in.data()), in.size(), out.data());
  return std::fwrite(out.data(), 1, written, stdout) == written ? 0 : 1;
}

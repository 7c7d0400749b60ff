// decode_value_tool: standard input, a value as the server writes it, to standard output in UTF-8,
// as karvel::DecodeValue decodes it. For the Python test that holds both kits to code page 932.
#include <cstdio>
#include <string>

#include "karvel_cp932.h"

int main() {
  std::string in;
  char block[65536];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, stdin)) > 0) in.append(block, got);
  const std::string out = karvel::DecodeValue(in);
  return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
}

// html_escape_tool: standard input to standard output through karvel::HtmlEscape. For the Python
// test that holds both kits' escaping to the same table.
#include <cstdio>
#include <string>

#include "karvel_backend.h"

int main() {
  std::string in;
  char block[65536];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, stdin)) > 0) in.append(block, got);
  const std::string out = karvel::HtmlEscape(in);
  return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
}

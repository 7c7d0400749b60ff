// answer_99 EXCHANGE_FILE: marks the request answered with a result code the extension does not
// know (99), so the extension returns an error without a reply.
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::FILE* file = std::fopen(argv[1], "r+b");
  if (file == nullptr) return 1;
  // Byte 1 is the result code, byte 0 the answered mark, written last.
  std::fseek(file, 1, SEEK_SET);
  std::fputc('9', file);  // not one of '1', '2', '4': the answer reads "99"
  std::fseek(file, 0, SEEK_SET);
  std::fputc('9', file);
  return std::fclose(file) == 0 ? 0 : 1;
}

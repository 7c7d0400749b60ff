// emitstatus "TEMPLATE_DIR,STATUS_NAME,FIRST_VALUE,SECOND_VALUE": calls EmitStatus as programs on
// Windows do and exits with its result (0, or 99 after the message on standard error).
#include <cstdio>

#include "statusfile/emit_status.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s \"TEMPLATE_DIR,STATUS_NAME,FIRST_VALUE,SECOND_VALUE\"\n", argv[0]);
    return 2;
  }
  return static_cast<int>(EmitStatus(0, 0, argv[1]));
}

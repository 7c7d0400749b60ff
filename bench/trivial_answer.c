/* trivial_answer EXCHANGE_FILE: the least a back-end can do. Writes a fixed page answer beside the
   exchange file and renames it over it; static C, so its start costs what starting a process
   costs. The bench's measure of the gateway's own cost per request (beside trivial_cgi). */
#include <stdio.h>
#include <string.h>

static const char kAnswer[] = "91  Content-Type: text/html\r\n\r\n<html><body>trivial</body></html>\n";

int main(int argc, char** argv) {
  char temp[4096];
  if (argc != 2 || strlen(argv[1]) + sizeof ".answer" > sizeof temp) return 2;
  snprintf(temp, sizeof temp, "%s.answer", argv[1]);
  FILE* out = fopen(temp, "wb");
  if (out == NULL) return 1;
  const int written = fwrite(kAnswer, 1, sizeof kAnswer - 1, out) == sizeof kAnswer - 1;
  if (fclose(out) != 0 || !written || rename(temp, argv[1]) != 0) return 1;
  return 0;
}

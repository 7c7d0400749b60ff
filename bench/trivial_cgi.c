/* trivial_cgi: the CGI twin of trivial_answer, the same page through Apache's mod_cgid. */
#include <stdio.h>

int main(void) {
  fputs("Content-Type: text/html\r\n\r\n<html><body>trivial</body></html>\n", stdout);
  return 0;
}

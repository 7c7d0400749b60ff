// no_answer EXCHANGE_FILE: says why on its standard error and ends at once without answering, as a
// Windows program that failed does.
#include <cstdio>

int main() {
  std::fputs("no_answer: nothing to say\n", stderr);
  return 3;
}

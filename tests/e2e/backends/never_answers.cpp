// never_answers EXCHANGE_FILE: leaves the request unanswered; it exits after a minute so that no
// test leaves it behind for long.
#include <unistd.h>

int main() {
  sleep(60);
  return 0;
}

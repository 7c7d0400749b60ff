// slow_answer EXCHANGE_FILE: answers a short page after the seconds in field "seconds" (default
// 30), so that requests wait on it in numbers.
#include <unistd.h>

#include <cstdlib>

#include "karvel_backend.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  karvel::Request request;
  if (!karvel::ReadRequest(argv[1], &request)) return 1;
  const karvel::Field* seconds = request.find("seconds");
  for (long left = seconds != nullptr ? std::atol(seconds->value.c_str()) : 30; left > 0;) {
    left = sleep(static_cast<unsigned>(left));
  }
  return karvel::AnswerPage(argv[1], "Content-Type: text/plain\r\n\r\nanswered") ? 0 : 1;
}

// resident_echo [EXCHANGE_FILE]: the echo page (echo_page.h) from a handler, so that the same
// program answers one request when given its exchange file and request after request when the
// spawner starts it resident.
#include <stdexcept>
#include <string>

#include "echo_page.h"
#include "karvel_backend.h"

int main(int argc, char** argv) {
  return karvel::Serve(argc, argv, [](const karvel::Request& request, const std::string& exchangePath) {
    std::string error;
    if (!karvel::AnswerPage(exchangePath, echo::Page(&request, "", exchangePath), &error)) {
      throw std::runtime_error(error);
    }
  });
}

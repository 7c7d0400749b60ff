// fcgi_echo SOCKET WORKERS: the echo samples' page (echo_page.h) as a persistent FastCGI program, the way
// php-fpm or a libfcgi application runs behind mod_proxy_fcgi: it listens on the Unix socket
// SOCKET and WORKERS processes answer request after request. The baseline resident back-ends are
// measured against (resident_bench.py).
#include <fcgiapp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "echo_page.h"
#include "query_request.h"

namespace {

int Serve(int listener) {
  FCGX_Request request;
  if (FCGX_InitRequest(&request, listener, 0) != 0) return 1;
  while (FCGX_Accept_r(&request) == 0) {
    const karvel::Request asked = query_request::FromQuery(FCGX_GetParam("QUERY_STRING", request.envp),
                                                           FCGX_GetParam("REMOTE_ADDR", request.envp),
                                                           FCGX_GetParam("REMOTE_USER", request.envp));
    const std::string page = echo::Page(&asked, "", "");
    FCGX_PutStr(page.data(), static_cast<int>(page.size()), request.out);
    FCGX_Finish_r(&request);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::atoi(argv[2]) < 1) {
    std::fprintf(stderr, "usage: fcgi_echo SOCKET WORKERS\n");
    return 2;
  }
  if (FCGX_Init() != 0) return 1;
  unlink(argv[1]);
  const int listener = FCGX_OpenSocket(argv[1], 128);
  if (listener < 0) {
    std::perror(argv[1]);
    return 1;
  }
  const int workers = std::atoi(argv[2]);
  for (int i = 0; i < workers; ++i) {
    const pid_t pid = fork();
    if (pid == 0) return Serve(listener);
    if (pid < 0) {
      std::perror("fork");
      return 1;
    }
  }
  // The parent waits; a SIGTERM to it ends the workers too (they share its process group).
  signal(SIGTERM, [](int) { kill(0, SIGKILL); });
  while (wait(nullptr) > 0) {
  }
  return 0;
}

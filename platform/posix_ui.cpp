// MessageBoxA without a desktop: the message goes to standard error, where a server's log is.
#include <cerrno>
#include <cstring>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/win32.h"

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
  char separator[] = ": ";
  char newline[] = "\n";
  char* shownCaption = const_cast<char*>(caption != nullptr ? caption : "");
  char* shownText = const_cast<char*>(text != nullptr ? text : "");
  // One gathered write keeps the line whole when several threads or processes share stderr.
  iovec parts[4] = {{shownCaption, std::strlen(shownCaption)},
                    {separator, 2},
                    {shownText, std::strlen(shownText)},
                    {newline, 1}};
  int saved = errno;
  ssize_t n;
  do {
    n = writev(STDERR_FILENO, parts, 4);
  } while (n < 0 && errno == EINTR);
  errno = saved;
  return IDOK;
}

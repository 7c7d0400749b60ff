// cgi_echo: a CGI program that does what the echo back-end does for a GET (a Shift_JIS page
// listing the query's fields), so Apache's own CGI path can be measured beside karvel's.
#include <cstdio>
#include <cstdlib>

#include "echo_page.h"
#include "query_request.h"

int main() {
  const karvel::Request request =
      query_request::FromQuery(std::getenv("QUERY_STRING"), std::getenv("REMOTE_ADDR"), std::getenv("REMOTE_USER"));
  const std::string page = echo::Page(&request, "", "");
  std::fwrite(page.data(), 1, page.size(), stdout);
  return 0;
}

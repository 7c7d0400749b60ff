// show_upload EXCHANGE_FILE: sends back the file uploaded in field "file" as it is (result code 4).
// Only a file this very request uploaded is sent; anything else, such as a path typed into a GET
// query or the upload of another request, gets a short page instead.
#include <cstdio>
#include <string>

#include "karvel_backend.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: show_upload EXCHANGE_FILE\n");
    return 2;
  }
  karvel::Request request;
  std::string error;
  const karvel::Field* file = karvel::ReadRequest(argv[1], &request, &error) ? request.find("file") : nullptr;
  const bool uploaded = file != nullptr && karvel::IsUpload(argv[1], file->value);
  const char* const refusal = "Content-Type: text/plain\r\n\r\nNo uploaded file in field \"file\".";
  const bool answered = uploaded ? karvel::AnswerFile(argv[1], file->value, &error)
                                 : karvel::AnswerPage(argv[1], refusal, &error);
  if (answered) return 0;
  std::fprintf(stderr, "show_upload: %s\n", error.c_str());
  return 1;
}

// in_place EXCHANGE_FILE: answers the way many Windows programs do, in place: truncates the
// exchange file, writes the marked header, pauses, writes the rest of the page and only then
// closes it and ends. Wine's share modes bind only Wine processes, so the server can see the mark
// while the page is half-written.
#include <windows.h>

#include <cstring>

namespace {

bool WriteText(HANDLE file, const char* text) {
  DWORD written = 0;
  return WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr) && written == std::strlen(text);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  HANDLE file = CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  bool ok = WriteText(file, "91  Content-Type: text/plain\r\n\r\nfirst half, ");
  FlushFileBuffers(file);
  Sleep(800);
  ok = WriteText(file, "second half") && ok;
  return CloseHandle(file) && ok ? 0 : 1;
}

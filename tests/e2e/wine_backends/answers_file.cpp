// answers_file EXCHANGE_FILE: writes a small file into its Windows temporary directory and answers
// with result code 4 naming it by its Windows path in capitals (C:\USERS\...\TEMP\...), as a
// Windows program may: the server finds the file through the prefix's drives, whatever the case.
#include <windows.h>

#include <cctype>
#include <string>

#include "backend/karvel_backend.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  char temp[MAX_PATH];
  const DWORD length = GetTempPathA(sizeof temp, temp);
  if (length == 0 || length >= sizeof temp) return 1;
  const std::string file = std::string(temp) + "karvel-chart.txt";
  HANDLE out = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  const char content[] = "chart bytes from C:";
  WriteFile(out, content, sizeof content - 1, &written, nullptr);
  CloseHandle(out);
  std::string answer = file;
  for (char& c : answer) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  // Written directly: AnswerFile would resolve the path first and keep Windows' own spelling.
  HANDLE exchange = CreateFileA(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (exchange == INVALID_HANDLE_VALUE) return 1;
  const std::string record = "94  " + answer;
  const BOOL ok = WriteFile(exchange, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
  return CloseHandle(exchange) && ok ? 0 : 1;
}

// A back-end program for the Windows tests. Copied as NAME.exe, it does what NAME.txt beside it
// says: its first line is the mode, the rest the answer bytes.
//   write   answer in one open of the exchange file, held for writing until the answer is whole
//   slow    the same, but the mark and result code first, then a pause, then the rest
//   self    answers "91xx" followed by the exchange file's path (cross-talk shows)
//   silent  never answers
//   decoy   only leaves NAME.ran beside itself (a program that must not be the one started)
// Without NAME.txt it answers by the form (mode "form"): field ANSWER = "page" lists the fields as
// a text/plain page, "url" answers field URL as a URL, "file" answers with the path in field
// "upload" (the uploaded file).
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::string ReadWhole(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string bytes;
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char block[65536];
  DWORD read = 0;
  while (ReadFile(file, block, sizeof block, &read, nullptr) && read > 0) bytes.append(block, read);
  CloseHandle(file);
  return bytes;
}

uint32_t NumberAt(const std::string& bytes, size_t at) {
  if (at + 4 > bytes.size()) return 0;
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

// The request's fields, records walked in order (see the exchange file's layout).
std::vector<std::pair<std::string, std::string>> Fields(const std::string& bytes) {
  std::vector<std::pair<std::string, std::string>> fields;
  const uint32_t count = NumberAt(bytes, 8);
  size_t position = 524 + 16 * static_cast<size_t>(count);
  for (uint32_t k = 0; k < count; ++k) {
    const size_t entry = 524 + 16 * static_cast<size_t>(k);
    const uint32_t nameLength = NumberAt(bytes, entry + 4);
    const uint32_t valueLength = NumberAt(bytes, entry + 12);
    if (nameLength == 0 || position + nameLength + valueLength + 1 > bytes.size()) break;
    std::string name = bytes.substr(position, nameLength - 1);
    position += nameLength;
    size_t length = valueLength;
    if (length > 0 && bytes[position + length - 1] == '\0') --length;  // a value left as it came
    fields.emplace_back(std::move(name), bytes.substr(position, length));
    position += valueLength + 1;
  }
  return fields;
}

std::string Field(const std::vector<std::pair<std::string, std::string>>& fields, const std::string& name) {
  for (const auto& field : fields) {
    if (field.first == name) return field.second;
  }
  return "";
}

// Opens the exchange file for writing; a poll may hold it for a moment, so try for a while.
HANDLE OpenForAnswer(const std::string& path) {
  for (int attempt = 0; attempt < 2000; ++attempt) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    Sleep(1);
  }
  return INVALID_HANDLE_VALUE;
}

void Put(HANDLE file, const std::string& bytes) {
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  char self[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || length < 4) return 2;
  const std::string stem(self, length - 4);  // without ".exe"
  const std::string script = ReadWhole(stem + ".txt");
  const size_t lineEnd = script.find('\n');
  const std::string mode = script.empty() ? "form" : script.substr(0, lineEnd);
  std::string answer = lineEnd == std::string::npos ? "" : script.substr(lineEnd + 1);

  if (mode == "decoy") {
    HANDLE mark = CreateFileA((stem + ".ran").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
    return 0;
  }
  if (argc != 2 || mode == "silent") return 0;
  const std::string exchange = argv[1];

  if (mode == "self") answer = "91xx" + exchange;
  if (mode == "form") {
    const auto fields = Fields(ReadWhole(exchange));
    const std::string kind = Field(fields, "ANSWER");
    if (kind == "url") {
      answer = "92xx" + Field(fields, "URL");
    } else if (kind == "file") {
      answer = "94xx" + Field(fields, "upload");
    } else {
      answer = "91xxContent-Type: text/plain\r\n\r\n";
      for (const auto& field : fields) answer += field.first + "=" + field.second + "\n";
    }
  }

  HANDLE file = OpenForAnswer(exchange);
  if (file == INVALID_HANDLE_VALUE) return 1;
  if (mode == "slow") {
    // The mark is in the file from here on; only the held write access keeps it unseen.
    Put(file, answer.substr(0, 4));
    Sleep(300);
    Put(file, answer.substr(4));
  } else {
    Put(file, answer);
  }
  SetEndOfFile(file);
  CloseHandle(file);
  return 0;
}

#include "gateway/wine_request.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "jpcodec/converters.h"

#include "gateway/form_upload.h"
#include "gateway/request_record.h"
#include "platform/windows_paths.h"

void MapWindowsProgramPath(const RequestSettings& settings, CHAR path[MAX_PATH]) {
  CHAR mapped[MAX_PATH];
  if (IsDrivePath(path) && settings.pWindowsPaths != nullptr && settings.pWindowsPaths[0] != '\0' &&
      MapWindowsPath(settings.pWindowsPaths, path, mapped, MAX_PATH)) {
    lstrcpyA(path, mapped);
  }
}

bool RunsUnderWine(const RequestSettings& settings, LPCSTR program) {
  return settings.szWinePrefix[0] != '\0' && IsWindowsProgramFile(program);
}

void MapWineAnswerPath(LPCSTR winePrefix, CHAR* path, DWORD size) {
  if (!IsDrivePath(path) || winePrefix[0] == '\0') return;
  CHAR* mapped = static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), 0, size));
  if (mapped == nullptr) return;
  if (WineDrivePath(winePrefix, path, mapped, size)) lstrcpyA(path, mapped);
  HeapFree(GetProcessHeap(), 0, mapped);
}

namespace {

// Different uploads may leave names that convert alike (code page 932 spells some characters
// twice): a taken name is tried again as "name(2).ext", "name(3).ext" ..., as uploads are named
// when two of a request share a name, at most this often.
constexpr int kMaxSameName = UPLOAD_SAME_NAME_LIMIT;

// `name` with "(n)" before its extension (n > 1).
std::string NumberedName(const std::string& name, int n) {
  if (n <= 1) return name;
  const size_t dot = name.rfind('.');
  const size_t stem = dot == std::string::npos || dot == 0 ? name.size() : dot;
  return name.substr(0, stem) + "(" + std::to_string(n) + ")" + name.substr(stem);
}

// An upload's path (`length` bytes) as a program under Wine opens it, renamed for it first: heap
// text, or null when it does not fit or memory fails.
LPSTR WindowsPathOfUpload(const char* value, int32_t length) {
  if (length <= 0 || length >= MAX_PATH) return nullptr;
  CHAR saved[MAX_PATH];
  std::memcpy(saved, value, static_cast<size_t>(length));
  saved[length] = '\0';
  // The name it is given may have grown by a number, where another upload's name converts alike.
  CHAR path[MAX_PATH] = "";
  if (!NameUploadForWine(saved, path)) return nullptr;
  const size_t room = std::strlen(path) + 3;
  CHAR* windows = static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, room));
  if (windows != nullptr && !WindowsPathOf(path, windows, room)) {
    HeapFree(GetProcessHeap(), 0, windows);
    windows = nullptr;
  }
  return windows;
}

}  // namespace

bool GiveUploadsWindowsPaths(FormField* list, int32_t fieldCount, LPCSTR uploadDirectory, LPSTR** given) {
  *given = nullptr;
  if (fieldCount <= 0) return true;
  LPSTR* paths = static_cast<LPSTR*>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<size_t>(fieldCount) * sizeof(LPSTR)));
  if (paths == nullptr) return false;
  int32_t k = 0;
  for (FormField* field = list; field != nullptr && k < fieldCount; field = field->pNext, ++k) {
    int32_t length = 0;
    GetFormField(field, nullptr, &length, nullptr, nullptr);
    const char* value = GetFormFieldValue(field);
    if (!IsRequestUpload(uploadDirectory, value, length)) continue;
    paths[k] = WindowsPathOfUpload(value, length);
    if (paths[k] == nullptr) {
      FreeGivenPaths(paths, fieldCount);
      return false;
    }
  }
  *given = paths;
  return true;
}

void FreeGivenPaths(LPSTR* given, int32_t fieldCount) {
  if (given == nullptr) return;
  for (int32_t k = 0; k < fieldCount; ++k) {
    if (given[k] != nullptr) HeapFree(GetProcessHeap(), 0, given[k]);
  }
  HeapFree(GetProcessHeap(), 0, given);
}

bool NameUploadForWine(const char* path, CHAR given[MAX_PATH]) {
  // The upload's name begins behind the last '/': a backslash there is the second byte of a
  // Shift-JIS character ("\x83\x5c" is a katakana), not a separator (the path is the host's own).
  const char* name = path + std::strlen(path);
  while (name > path && name[-1] != '/') --name;
  bool ascii = true;
  for (const char* c = name; *c != '\0'; ++c) ascii = ascii && static_cast<unsigned char>(*c) < 0x80;
  if (std::strlen(path) + 1 > MAX_PATH) return false;
  lstrcpyA(given, path);
  if (ascii) return true;
  const std::string directory(path, static_cast<size_t>(name - path));
  for (int n = 1; n <= kMaxSameName; ++n) {
    const std::string shiftJis = NumberedName(name, n);
    // A name the program could not be given is not taken: the file stays under its own.
    if (directory.size() + shiftJis.size() + 1 > MAX_PATH) return true;
    std::string unicode(jpcodec::Cp932ToUtf8Room(shiftJis.size()), '\0');
    size_t unicodeLength = 0;
    jpcodec::DecodeCp932(reinterpret_cast<const uint8_t*>(shiftJis.data()), shiftJis.size(),
                         reinterpret_cast<uint8_t*>(unicode.data()), unicode.size(), &unicodeLength);
    const std::string renamed = directory + unicode.substr(0, unicodeLength);
    // Never over another file: a name that is there already belongs to another upload.
    if (MoveFileA(path, renamed.c_str())) {
      lstrcpyA(given, (directory + shiftJis).c_str());
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return true;  // it stays under its own name
  }
  return true;
}

#include "gateway/form_upload.h"

#include <cstdio>
#include <cstring>

#include "jpcodec/jpcodec.h"
#include "platform/request_files.h"

namespace {

// The request's temporary directory: the site's, else the server's. False when none can be had.
bool TempDirectoryOf(const UploadDirectory& directory, CHAR tempPath[MAX_PATH]) {
  if (directory.szTempDirectory == nullptr) return GetServerTempPath(tempPath) != FALSE;
  if (lstrlenA(directory.szTempDirectory) + 1 > MAX_PATH) return false;
  lstrcpyA(tempPath, directory.szTempDirectory);
  return true;
}

constexpr int kDirectoryAttempts = 100;
constexpr int kMaxSameName = UPLOAD_SAME_NAME_LIMIT;
// A client name converted: JIS katakana widen, so twice the bytes it may be sent in; from UTF-8, a
// name may take the room of references to characters without a mapping.
constexpr size_t kNameRoom = 2 * kUploadNameBytes + 2;
constexpr size_t kDeclaredNameRoom = DeclaredValueRoom(kUploadNameBytes) > kNameRoom ? DeclaredValueRoom(kUploadNameBytes) : kNameRoom;

// Makes the request's upload directory: the name the driver chose, or a random one whose
// reserving file is replaced by the directory. Should another request take the freed name in
// between, its file stays and this one tries the next name.
bool MakeUploadDirectory(UploadDirectory* directory) {
  if (directory->bMade) return true;
  CHAR name[MAX_PATH];
  bool made = false;
  if (directory->szWanted != nullptr) {
    if (lstrlenA(directory->szWanted) + 2 > MAX_PATH) return false;
    lstrcpyA(name, directory->szWanted);
    made = directory->bWantedMade || CreateDirectoryA(name, nullptr) != FALSE;
  } else {
    CHAR tempPath[MAX_PATH];
    if (!TempDirectoryOf(*directory, tempPath)) return false;
    for (int attempt = 0; attempt < kDirectoryAttempts && !made; ++attempt) {
      if (!CreateRequestFile(tempPath, "VCU", name)) return false;
      DeleteFileA(name);
      made = CreateDirectoryA(name, nullptr) != FALSE;
    }
  }
  const int nameLength = lstrlenA(name);
  if (!made || nameLength + 2 > MAX_PATH) return false;
  lstrcpyA(directory->szPath, name);
  directory->szPath[nameLength] = KARVEL_PATH_SEPARATOR;
  directory->szPath[nameLength + 1] = '\0';
  directory->bMade = true;
  return true;
}

// A Shift-JIS character's first byte, and the bytes that may follow it as its second. The second
// byte can be 0x5C (表 is 95 5C, ソ 83 5C): there it is half of a character, not a '\'.
bool IsShiftJisLead(uint8_t c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
bool IsShiftJisTrail(uint8_t c) { return c >= 0x40 && c <= 0xFC && c != 0x7F; }

// The client's base name (the name is Shift-JIS by now): the bytes after the last '\' or '/' that
// is not the second byte of a character. Empty when the name is unusable.
int BaseName(const char* clientName, int clientLength, const char** base) {
  int start = 0;
  for (int k = 0; k < clientLength; ++k) {
    const uint8_t c = static_cast<uint8_t>(clientName[k]);
    if (IsShiftJisLead(c) && k + 1 < clientLength && IsShiftJisTrail(static_cast<uint8_t>(clientName[k + 1]))) {
      ++k;
    } else if (c == '\\' || c == '/') {
      start = k + 1;
    }
  }
  *base = clientName + start;
  const int length = clientLength - start;
  if (length == 0) return 0;
  if ((length == 1 && (*base)[0] == '.') || (length == 2 && (*base)[0] == '.' && (*base)[1] == '.')) return 0;
  for (int k = 0; k < length; ++k) {
    const uint8_t c = static_cast<uint8_t>((*base)[k]);
    if (c < 0x20 || c == 0x7F || c == ':') return 0;
  }
  return length;
}

// The saved file's name: the client's, converted as every value is on its way to the back-end.
// Otherwise a name sent in EUC-JP or JIS would be converted in the path handed on, which then
// named no file. The name is converted until converting changes it no more, so the path's own
// conversion leaves it as it is; a name that does not settle (never seen) stays as sent. Returns
// the name's length, 0 when it does not fit in `room`.
int ShiftJisName(const char* sent, int sentLength, char* name, size_t room) {
  if (static_cast<size_t>(sentLength) + 1 > room) return 0;
  std::memcpy(name, sent, sentLength);
  name[sentLength] = '\0';
  char again[kNameRoom];
  for (int round = 0; round < 4; ++round) {
    const size_t length = std::strlen(name);
    std::memcpy(again, name, length + 1);
    // The text and its NUL, not the buffer: a name that ends inside a JIS pair would otherwise
    // take the NUL as a first byte and read on into the stale bytes behind it.
    ConvertToSjis2(again, static_cast<unsigned long>(length + 1));
    if (std::strcmp(again, name) == 0) return static_cast<int>(length);
    std::memcpy(name, again, std::strlen(again) + 1);
  }
  std::memcpy(name, sent, sentLength);
  name[sentLength] = '\0';
  return sentLength;
}

// Writes directory + base name (with " (n)" before the extension when n > 1) to `path`; false when
// it does not fit in MAX_PATH.
bool FormUploadPath(const UploadDirectory& directory, const char* base, int baseLength, int n,
                    CHAR path[MAX_PATH]) {
  int extension = baseLength;
  for (int k = baseLength - 1; k > 0; --k) {
    if (base[k] == '.') {
      extension = k;
      break;
    }
  }
  CHAR suffix[16] = "";
  if (n > 1) std::snprintf(suffix, sizeof suffix, "(%d)", n);
  const int dirLength = lstrlenA(directory.szPath);
  const int suffixLength = lstrlenA(suffix);
  if (dirLength + baseLength + suffixLength + 1 > MAX_PATH) return false;
  CHAR* at = path;
  std::memcpy(at, directory.szPath, dirLength);
  at += dirLength;
  std::memcpy(at, base, extension);
  at += extension;
  std::memcpy(at, suffix, suffixLength);
  at += suffixLength;
  std::memcpy(at, base + extension, baseLength - extension);
  at += baseLength - extension;
  *at = '\0';
  return true;
}

}  // namespace

UploadOpen OpenUploadFile(UploadDirectory* directory, const char* clientName, int clientLength,
                          CHAR path[MAX_PATH], HANDLE* file) {
  *file = INVALID_HANDLE_VALUE;
  path[0] = '\0';
  if (clientLength > kUploadNameBytes) return kUploadRefused;
  // A NUL would cut the name short of what the client sent: refused like every control byte.
  if (std::memchr(clientName, '\0', static_cast<size_t>(clientLength)) != nullptr) return kUploadRefused;
  // Converted before it is cut: JIS bytes include '/' and '\' and its escapes are control bytes.
  char converted[kDeclaredNameRoom];
  const int convertedLength =
      directory->charset == kCharsetAuto
          ? ShiftJisName(clientName, clientLength, converted, kNameRoom)
          : static_cast<int>(ConvertDeclaredValue(directory->charset, clientName, static_cast<size_t>(clientLength), converted));
  const char* cut = nullptr;
  const int cutLength = BaseName(converted, convertedLength, &cut);
  if (cutLength == 0) return kUploadRefused;
  // Without a declaration the part kept settles on its own too, since the path is converted with it
  // alone; a declared encoding converts once.
  char base[kDeclaredNameRoom];
  int baseLength = cutLength;
  if (directory->charset == kCharsetAuto) {
    baseLength = ShiftJisName(cut, cutLength, base, kNameRoom);
  } else {
    std::memcpy(base, cut, static_cast<size_t>(cutLength));
  }
  const char* again = nullptr;
  if (baseLength == 0 || BaseName(base, baseLength, &again) != baseLength) return kUploadRefused;

  if (!MakeUploadDirectory(directory)) {
    // No directory of its own: the file meant cannot be written.
    CHAR tempPath[MAX_PATH];
    if (!TempDirectoryOf(*directory, tempPath)) return kUploadRefused;
    const int length = lstrlenA(tempPath);
    if (length + baseLength + 1 > MAX_PATH) return kUploadRefused;
    lstrcpyA(path, tempPath);
    std::memcpy(path + length, base, baseLength);
    path[length + baseLength] = '\0';
    return kUploadFailed;
  }
  // The directory is this request's own: a name that exists was used earlier in this request.
  for (int n = 1;; ++n) {
    if (n > kMaxSameName || !FormUploadPath(*directory, base, baseLength, n, path)) {
      path[0] = '\0';
      return kUploadRefused;
    }
    *file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
    if (*file != INVALID_HANDLE_VALUE) return kUploadOpened;
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return kUploadFailed;
  }
}

void RemoveUploadDirectoryIfEmpty(UploadDirectory* directory) {
  if (!directory->bMade) {
    // Made with the exchange file, and no upload came to it.
    if (directory->bWantedMade && RemoveDirectoryA(directory->szWanted)) directory->bWantedMade = false;
    return;
  }
  CHAR name[MAX_PATH];
  lstrcpyA(name, directory->szPath);
  name[lstrlenA(name) - 1] = '\0';  // without its separator
  if (RemoveDirectoryA(name)) {
    directory->bMade = false;
    directory->szPath[0] = '\0';
  }
}

bool UploadFlush(UploadWriter* writer) {
  if (writer->nTarget == kUploadDropped) return true;
  // (kUploadUnwritable: its handle is INVALID_HANDLE_VALUE, so the first write fails and sticks.)
  if (writer->bFailed) return false;
  if (writer->nUsed == 0) return true;
  DWORD written = 0;
  if (!WriteFile(writer->hFile, writer->pBlock, writer->nUsed, &written, nullptr) || written != writer->nUsed) {
    writer->bFailed = true;
  }
  writer->nUsed = 0;
  return !writer->bFailed;
}

bool UploadWrite(UploadWriter* writer, const uint8_t* bytes, uint32_t count) {
  if (writer->nTarget == kUploadDropped) return true;
  // Large runs go to the file as they are, without a copy into the block.
  if (count >= UPLOAD_BLOCK_BYTES / 2) {
    if (!UploadFlush(writer)) return false;
    DWORD written = 0;
    if (!WriteFile(writer->hFile, bytes, count, &written, nullptr) || written != count) writer->bFailed = true;
    return !writer->bFailed;
  }
  while (count > 0) {
    if (writer->nUsed == UPLOAD_BLOCK_BYTES && !UploadFlush(writer)) return false;
    const uint32_t room = UPLOAD_BLOCK_BYTES - writer->nUsed;
    const uint32_t part = count < room ? count : room;
    std::memcpy(writer->pBlock + writer->nUsed, bytes, part);
    writer->nUsed += part;
    bytes += part;
    count -= part;
  }
  return !writer->bFailed;
}

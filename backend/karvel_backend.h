// karvel back-end kit (C++17, header only; POSIX, and Windows for programs built with MinGW or
// MSVC that run under Wine or on IIS).
//
// A back-end program is started with one argument: the path of the request's exchange file. It
// reads the request from that file with ReadRequest, then answers once with AnswerPage, AnswerUrl
// or AnswerFile. Each answer is written into the exchange file, its answered mark the last byte
// written, so the waiting server only ever sees a complete answer (on Windows: written to
// "<exchange file>.answer" and moved over the exchange file).
//
// The request side of the exchange file (numbers unsigned 32-bit little-endian):
//   0 method digit ('1' POST, '2' GET, '0' other), 1 a blank, 2-3 zero, 4 connection number,
//   8 field count N, 12 REMOTE_ADDR and 268 REMOTE_USER (256 bytes each, NUL-terminated),
//   524 N index entries of 16 bytes {name offset, name length, value offset, value length},
//   then each field's name record and value record, one after another without gaps.
// Offsets are counted from 1 for some entries and from 0 for others (the server counts from 1
// until the field that named the program, when that was a VCEXE field). The base is not stored, so
// the reader walks the records in order and takes each entry's base as name offset minus the
// record's real position, which must come out 0 or 1 (the value offset must agree).
// A name record is the name and a NUL (the length counts the NUL). A value record takes
// value length V + 1 bytes in one of two shapes:
//   converted to Shift-JIS: the V text bytes, then a NUL (converted text never holds a NUL);
//   left as it came:        the value's V - 1 bytes, a NUL, a zero byte.
// So a record whose byte V - 1 is NUL is the second shape and the value is its first V - 1 bytes;
// otherwise the value is its first V bytes. Either way byte V is zero.
// The count can be larger than the number of fields listed (a field cut off by the end of the
// body, or one begun after a bare name): the index entries of unlisted fields are all zero.
// An uploaded file's field value is the full path of the file the server saved, inside the
// request's own upload directory (UploadDirectory): "VCU" and the exchange file's digits, beside
// the exchange file, or, where the site keeps uploads apart (KarvelUploadDir), in the directory
// the server names in the program's environment as KARVEL_UPLOAD_DIR. A field's value is whatever the client sent:
// check that a path names this request's upload (IsUpload) before opening, sending or answering
// with it (AnswerFile sends any file the server's user can open, to whoever asked).
//
// Serve(argc, argv, handler) runs a program written as a handler either way it may be started:
//   program EXCHANGE_FILE   one request (IIS, Wine, karvel-run, a server starting it per request):
//                           the handler answers it and the program exits.
//   program                 with KARVEL_RESIDENT_FD=3 in the environment: a resident instance that
//                           the spawner hands request after request (POSIX only).
// The resident channel is descriptor 3, the instance's end of an AF_UNIX SOCK_SEQPACKET socket
// pair. Each packet from the spawner is 'R' and an exchange file's absolute path (no NUL, at most
// 4095 bytes). The instance answers that file exactly as a one-shot run does (the answer in the
// file, its mark last) and sends 'D'; when the request could not be read or the handler threw or returned
// without answering, it writes nothing to the file, puts the reason on standard error and sends
// 'E' and the reason (at most 200 bytes), and goes on with the next packet. End of file, or an
// empty packet, ends the instance with status 0. A handler keeps nothing of a request for the
// next one: no per-request state, no upload left open.
#ifndef KARVEL_BACKEND_KARVEL_BACKEND_H
#define KARVEL_BACKEND_KARVEL_BACKEND_H

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "karvel_exchange_layout.h"

namespace karvel {

struct Field {
  std::string name;
  std::string value;  // Shift-JIS or the bytes as sent; may hold NUL bytes
};

struct Request {
  char method = '0';        // '1' POST, '2' GET, '0' any other method
  uint32_t connection = 0;  // the server's connection number (low 32 bits)
  std::string remoteAddr, remoteUser;
  uint32_t fieldCount = 0;    // the fields the server counted, as it wrote them; at least fields.size()
  std::vector<Field> fields;  // the fields listed, in the order the form sent them

  // The first field named exactly `name`, or null.
  const Field* find(std::string_view name) const {
    for (const Field& field : fields) {
      if (field.name == name) return &field;
    }
    return nullptr;
  }
};

namespace detail {

#if defined(_WIN32)
constexpr const char* kSeparators = "/\\";
#else
constexpr const char* kSeparators = "/";
#endif
constexpr size_t kHeaderBytes = KARVEL_EXCHANGE_HEADER_BYTES, kEntryBytes = KARVEL_EXCHANGE_ENTRY_BYTES,
                 kCountAt = KARVEL_EXCHANGE_FIELD_COUNT_AT, kAddrAt = KARVEL_EXCHANGE_CLIENT_ADDR_AT,
                 kUserAt = KARVEL_EXCHANGE_CLIENT_USER_AT, kTextBytes = KARVEL_EXCHANGE_TEXT_BYTES;
// Longer URL answers are replaced by an empty URL on the server.
constexpr size_t kUrlLimit = 8192;

// The exchange file Serve is waiting to see answered, and whether an Answer* call did.
struct AnswerWatch {
  std::string path;
  bool answered = false;
  int fd = -1;  // POSIX: the file, open for reading and writing since Serve read it; -1: none
};

inline AnswerWatch& Watch() {
  static AnswerWatch watch;
  return watch;
}

inline void NoteAnswered(const std::string& exchangePath) {
  AnswerWatch& watch = Watch();
  if (!watch.path.empty() && watch.path == exchangePath) watch.answered = true;
}

inline bool Fail(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

inline uint32_t NumberAt(const unsigned char* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

// The NUL-terminated text in the 256 bytes at `at` (all 256 when there is no NUL).
inline std::string TextAt(const unsigned char* at) {
  const void* end = std::memchr(at, 0, kTextBytes);
  const size_t n = end ? static_cast<size_t>(static_cast<const unsigned char*>(end) - at) : kTextBytes;
  return std::string(reinterpret_cast<const char*>(at), n);
}

// The absolute path of the regular file `path` names (links and ".." resolved), "" when it names
// none; *size gets its size.
#if defined(_WIN32)
inline std::string RegularFile(const std::string& path, long long* size = nullptr) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (length == 0 || length >= sizeof full || !GetFileAttributesExA(full, GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return "";
  }
  if (size != nullptr) *size = static_cast<long long>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  return full;
}

// `directory`, absolute, with its separator at the end; "" when it is no directory.
inline std::string DirectoryPrefix(const std::string& directory) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(directory.c_str(), sizeof full, full, nullptr);
  const DWORD attributes = length == 0 || length >= sizeof full ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(full);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return "";
  return std::string(full) + "\\";
}

// Windows file names compare without regard to case.
inline bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, text.data(),
                                                         static_cast<int>(prefix.size()), prefix.data(),
                                                         static_cast<int>(prefix.size())) == CSTR_EQUAL;
}
#else
inline std::string RegularFile(const std::string& path, long long* size = nullptr) {
  char* resolved = realpath(path.c_str(), nullptr);
  struct stat info;
  const bool regular = resolved != nullptr && stat(resolved, &info) == 0 && S_ISREG(info.st_mode);
  const std::string absolute = regular ? resolved : "";
  std::free(resolved);
  if (regular && size != nullptr) *size = info.st_size;
  return absolute;
}

inline std::string DirectoryPrefix(const std::string& directory) {
  char* resolved = realpath(directory.c_str(), nullptr);
  const std::string prefix = resolved != nullptr ? std::string(resolved) + "/" : "";
  std::free(resolved);
  return prefix;
}

inline bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}
#endif

#if defined(_WIN32)
// Windows: the answer file is made anew (CREATE_NEW) and moved over the exchange file, which
// MoveFileEx replaces in one step.
inline bool WriteAnswer(const std::string& exchangePath, char code, std::string_view answer, std::string* error) {
  const DWORD attributes = GetFileAttributesA(exchangePath.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Fail(error, "no exchange file at " + exchangePath);
  }
  const std::string temp = exchangePath + ".answer";
  DeleteFileA(temp.c_str());
  const HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail(error, "cannot create " + temp);
  const char head[4] = {'9', code, ' ', ' '};
  bool ok = true;
  for (std::string_view part : {std::string_view(head, sizeof head), answer}) {
    while (ok && !part.empty()) {
      const DWORD chunk = part.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(part.size());
      DWORD written = 0;
      ok = WriteFile(file, part.data(), chunk, &written, nullptr) != 0 && written > 0;
      part.remove_prefix(written);
    }
  }
  ok = CloseHandle(file) != 0 && ok;
  if (!ok || !MoveFileExA(temp.c_str(), exchangePath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileA(temp.c_str());
    return Fail(error, "cannot write the answer to " + exchangePath);
  }
  NoteAnswered(exchangePath);
  return true;
}
#else
// The exchange file opened for reading and writing, -1 (with *error) when it is not there or is
// not a regular file. Blocking: the server looks at the file under a read lease it drops at once,
// and an open without waiting would fail (EWOULDBLOCK) in that moment instead of waiting it out.
// (Opened for reading and writing, a FIFO put in its place does not wait; a device cannot be put
// there.)
inline int OpenExchangeFile(const std::string& exchangePath, std::string* error) {
  int fd;
  do {
    fd = open(exchangePath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Fail(error, "no exchange file at " + exchangePath + ": " + std::strerror(errno));
    return -1;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    Fail(error, "no exchange file at " + exchangePath + ": not a regular file");
    return -1;
  }
  return fd;
}

inline bool WriteAllAt(int fd, const char* bytes, size_t count, off_t at) {
  while (count > 0) {
    const ssize_t n = pwrite(fd, bytes, count, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    at += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// Writes the answer into the exchange file itself, which must exist (a missing one means the
// server has stopped waiting) and must not be answered yet: `answer` from offset 4, the file cut
// where it ends, `code` and two blanks, and last the mark '9' at offset 0. The server takes the
// file for answered only once it sees the mark (and reads nothing while a writer holds the file
// open), so it only ever sees a complete answer; one cut short leaves the file unanswered.
inline bool WriteAnswer(const std::string& exchangePath, char code, std::string_view answer, std::string* error) {
  // The request Serve read was not answered then, and is written through the descriptor it read
  // (Serve closes it); any other file is opened and looked at.
  AnswerWatch& watch = Watch();
  const bool watched = !watch.path.empty() && watch.path == exchangePath;
  if (watched && watch.answered) return Fail(error, exchangePath + " is answered already");
  int fd = watched ? watch.fd : -1;
  const bool own = fd < 0;
  struct stat info;
  if (!own && (fstat(fd, &info) != 0 || info.st_nlink == 0)) {
    return Fail(error, "no exchange file at " + exchangePath + ": removed since it was read");
  }
  if (own) {
    fd = OpenExchangeFile(exchangePath, error);
    if (fd < 0) return false;
    char mark = 0;
    if (!watched && pread(fd, &mark, 1, 0) == 1 && mark == '9') {
      close(fd);
      return Fail(error, exchangePath + " is answered already");
    }
  }
  const char head[3] = {code, ' ', ' '};
  bool ok = WriteAllAt(fd, answer.data(), answer.size(), 4) &&
            ftruncate(fd, static_cast<off_t>(4 + answer.size())) == 0 && WriteAllAt(fd, head, sizeof head, 1) &&
            WriteAllAt(fd, "9", 1, 0);
  const int failure = errno;
  if (own) ok = close(fd) == 0 && ok;
  if (!ok) return Fail(error, "cannot write the answer to " + exchangePath + ": " + std::strerror(failure));
  NoteAnswered(exchangePath);
  return true;
}
#endif

#if !defined(_WIN32)
// Without stdio: a read shorter than asked of a regular file is its end, and no more is asked.
inline bool ReadToEnd(int fd, char* block, size_t blockSize, std::string* bytes) {
  for (;;) {
    const ssize_t n = read(fd, block, blockSize);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    bytes->append(block, static_cast<size_t>(n));
    if (static_cast<size_t>(n) < blockSize) return true;
  }
}
#endif

}  // namespace detail

// Parses an exchange file's request side held in `bytes`. False with *error on any malformed or
// truncated content; never reads outside `bytes`.
inline bool ParseRequest(std::string_view bytes, Request* out, std::string* error = nullptr) {
  using namespace detail;
  const auto* file = reinterpret_cast<const unsigned char*>(bytes.data());
  const uint64_t size = bytes.size();
  if (size < kHeaderBytes) return Fail(error, "shorter than the 524-byte header");
  if (file[0] == '9') return Fail(error, "already answered");
  if ((file[0] != '0' && file[0] != '1' && file[0] != '2') || file[1] != ' ' || file[2] != 0 || file[3] != 0) {
    return Fail(error, "bytes 0-3 are not a method digit, a blank and two zeros");
  }
  Request request;
  request.method = static_cast<char>(file[0]);
  request.connection = NumberAt(file + 4);
  request.remoteAddr = TextAt(file + kAddrAt);
  request.remoteUser = TextAt(file + kUserAt);
  const uint32_t count = NumberAt(file + kCountAt);
  uint64_t position = kHeaderBytes + uint64_t{count} * kEntryBytes;  // the first record
  if (position > size) return Fail(error, "field index of " + std::to_string(count) + " entries runs past the end");
  request.fieldCount = count;
  auto unused = [&](uint32_t k) {
    const unsigned char* entry = file + kHeaderBytes + size_t{k} * kEntryBytes;
    return std::all_of(entry, entry + kEntryBytes, [](unsigned char b) { return b == 0; });
  };
  uint32_t listed = 0;
  while (listed < count && !unused(listed)) ++listed;
  for (uint32_t k = listed; k < count; ++k) {
    if (!unused(k)) return Fail(error, "field " + std::to_string(k) + ": an entry after an unused one");
  }
  request.fields.reserve(listed);
  for (uint32_t k = 0; k < listed; ++k) {
    const unsigned char* entry = file + kHeaderBytes + size_t{k} * kEntryBytes;
    const uint64_t nameOffset = NumberAt(entry), nameLength = NumberAt(entry + 4);
    const uint64_t valueOffset = NumberAt(entry + 8), valueLength = NumberAt(entry + 12);
    const std::string where = "field " + std::to_string(k) + ": ";
    if (nameOffset != position && nameOffset != position + 1) {
      return Fail(error, where + "name offset " + std::to_string(nameOffset) + " does not point at its record");
    }
    const uint64_t base = nameOffset - position;
    if (nameLength == 0 || position + nameLength > size || file[position + nameLength - 1] != 0) {
      return Fail(error, where + "name record truncated or without its NUL");
    }
    Field field;
    field.name.assign(bytes.data() + position, nameLength - 1);
    position += nameLength;
    if (valueOffset != position + base) return Fail(error, where + "value offset does not point at its record");
    if (position + valueLength + 1 > size || file[position + valueLength] != 0) {
      return Fail(error, where + "value record truncated or without its closing zero");
    }
    const bool asSent = valueLength > 0 && file[position + valueLength - 1] == 0;
    field.value.assign(bytes.data() + position, asSent ? valueLength - 1 : valueLength);
    position += valueLength + 1;
    request.fields.push_back(std::move(field));
  }
  if (position != size) return Fail(error, std::to_string(size - position) + " bytes after the last record");
  *out = std::move(request);
  return true;
}

// Reads and parses the exchange file at `exchangePath`.
inline bool ReadRequest(const std::string& exchangePath, Request* out, std::string* error = nullptr) {
  // A small block: a program starts with little stack touched, and every page of a larger frame
  // would be touched (and faulted in) on entry; the string grows as the file needs.
  std::string bytes;
  char block[4096];
#if defined(_WIN32)
  std::FILE* in = std::fopen(exchangePath.c_str(), "rb");
  if (in == nullptr) return detail::Fail(error, "cannot open " + exchangePath + ": " + std::strerror(errno));
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, in)) > 0) {
    bytes.append(block, n);
    if (n < sizeof block) break;  // the end, or a failure ferror tells: no read more to find it
  }
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
#else
  int fd;
  do {
    fd = open(exchangePath.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return detail::Fail(error, "cannot open " + exchangePath + ": " + std::strerror(errno));
  const bool failed = !detail::ReadToEnd(fd, block, sizeof block, &bytes);
  close(fd);
#endif
  if (failed) return detail::Fail(error, "cannot read " + exchangePath);
  return ParseRequest(bytes, out, error);
}

// Result code '1': `headersAndBody` is the reply as it goes out: header lines ending in "\r\n"
// (e.g. "Content-Type: text/html; charset=Shift_JIS\r\n"), an empty line "\r\n", then the body.
// The server sends NUL bytes as blanks and trims nothing.
inline bool AnswerPage(const std::string& exchangePath, std::string_view headersAndBody,
                       std::string* error = nullptr) {
  return detail::WriteAnswer(exchangePath, '1', headersAndBody, error);
}

// Result code '2': a URL. One starting with '/' is served by the server itself; anything else is
// sent as a redirection. Refused when it is empty, longer than 8192 bytes or holds a control byte.
inline bool AnswerUrl(const std::string& exchangePath, std::string_view url, std::string* error = nullptr) {
  if (url.empty() || url.size() > detail::kUrlLimit) return detail::Fail(error, "URL empty or longer than 8192 bytes");
  for (const char c : url) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return detail::Fail(error, "control byte in the URL");
  }
  return detail::WriteAnswer(exchangePath, '2', url, error);
}

// Result code '4': the server sends the bytes of the file at `filePath` as they are (no header is
// added: the file carries its own if it needs one, and one that begins with "HTTP/" is sent as a
// whole response). The path is made absolute and must name a regular file. Never answer with a
// path a client chose without checking it (IsUpload for uploads): this sends any file.
inline bool AnswerFile(const std::string& exchangePath, std::string_view filePath, std::string* error = nullptr) {
  const std::string path(filePath);
  if (path.empty() || path.find('\0') != std::string::npos) return detail::Fail(error, "empty file path or NUL in it");
  const std::string absolute = detail::RegularFile(path);
  if (absolute.empty()) return detail::Fail(error, "no regular file at " + path);
  return detail::WriteAnswer(exchangePath, '4', absolute, error);
}

// The directory of the request's uploads: the exchange file's name with "VCU" for its "VC"
// (/tmp/VC0123456789ABCDEF.tmp -> /tmp/VCU0123456789ABCDEF.tmp), in KARVEL_UPLOAD_DIR where the
// environment names one (/var/lib/karvel/uploads/VCU0123456789ABCDEF.tmp); "" for a path not so
// named.
inline std::string UploadDirectory(const std::string& exchangePath) {
  const size_t base = exchangePath.find_last_of(detail::kSeparators) + 1;  // 0 without a separator
  if (exchangePath.compare(base, 2, "VC") != 0) return "";
  const char* apart = std::getenv("KARVEL_UPLOAD_DIR");
  if (apart == nullptr || apart[0] == '\0') return exchangePath.substr(0, base + 2) + "U" + exchangePath.substr(base + 2);
  std::string directory = apart;
  // '/' on POSIX, '\\' on Windows (the server names a Windows program's as a Windows path).
  if (std::strchr(detail::kSeparators, directory.back()) == nullptr) directory += detail::kSeparators[std::strlen(detail::kSeparators) - 1];
  return directory + "VCU" + exchangePath.substr(base + 2);
}

// True when `path` names this request's upload directory (its random name is in the path, as in
// every path the server gives) and, after links and "..", a regular file inside it: a file the
// client uploaded with this very request. *size gets its size.
inline bool IsUpload(const std::string& exchangePath, const std::string& path, long long* size = nullptr) {
  const std::string directory = UploadDirectory(exchangePath);
  if (directory.empty() || path.empty() || path.find('\0') != std::string::npos) return false;
#if !defined(_WIN32)
  // A path that does not name the directory's own random name is no upload of this request's (the
  // server gives each one under it): told without resolving anything, as most fields are.
  if (path.find(directory.substr(directory.find_last_of('/') + 1)) == std::string::npos) return false;
#endif
  const std::string inside = detail::DirectoryPrefix(directory);
  long long fileSize = 0;
  const std::string file = detail::RegularFile(path, &fileSize);
  if (inside.empty() || file.empty() || !detail::StartsWith(file, inside)) return false;
  if (size != nullptr) *size = fileSize;
  return true;
}

// `text` with & < > " ' written as HTML entities; safe on Shift-JIS, whose second bytes are never
// one of these.
inline std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

// A program's answer to one request: it reads what it needs from `request` and answers
// `exchangePath` once with AnswerPage, AnswerUrl or AnswerFile. What it throws, or a return without
// an answer, gives that request the server's error page.
using Handler = std::function<void(const Request& request, const std::string& exchangePath)>;

namespace detail {

constexpr size_t kResidentPathLimit = 4095, kResidentReasonLimit = 200;

// The request Serve hands its handler. On POSIX the file is opened once for reading and writing,
// and the answer goes through the same descriptor (Watch().fd); a file that opens only for reading
// is read as ReadRequest reads it, and its answer then fails as it would.
inline bool ReadWatchedRequest(const std::string& exchangePath, Request* out, std::string* error) {
#if !defined(_WIN32)
  const int fd = OpenExchangeFile(exchangePath, nullptr);
  if (fd >= 0) {
    Watch().fd = fd;
    std::string bytes;
    char block[4096];
    if (!ReadToEnd(fd, block, sizeof block, &bytes)) return Fail(error, "cannot read " + exchangePath);
    return ParseRequest(bytes, out, error);
  }
#endif
  return ReadRequest(exchangePath, out, error);
}

// Reads the request at `exchangePath` and runs the handler on it. "" when it was answered, else
// why not (also on standard error). A handler that throws after answering has answered: its answer
// stands and the throw is only reported.
inline std::string HandleOne(const Handler& handler, const std::string& exchangePath, const char* program) {
  AnswerWatch& watch = Watch();
  watch.path = exchangePath;
  watch.answered = false;
  std::string reason;
  try {
    Request request;
    std::string error;
    if (!ReadWatchedRequest(exchangePath, &request, &error)) {
      reason = "unreadable request: " + error;
    } else {
      handler(request, exchangePath);
    }
  } catch (const std::exception& thrown) {
    reason = std::string("the handler threw: ") + thrown.what();
  } catch (...) {
    reason = "the handler threw something other than a std::exception";
  }
  const bool answered = watch.answered;
  watch.path.clear();
#if !defined(_WIN32)
  // Closed before the word that the request is done: the server reads no file a writer holds.
  if (watch.fd >= 0) close(watch.fd);
  watch.fd = -1;
#endif
  if (reason.empty() && !answered) reason = "the handler returned without answering";
  if (!reason.empty()) std::fprintf(stderr, "%s: %s: %s\n", program, exchangePath.c_str(), reason.c_str());
  return answered ? "" : reason;
}

// The 'E' packet for `reason`: at most 200 bytes of it, control bytes as blanks (it ends up in
// the server's log).
inline std::string ReasonPacket(const std::string& reason) {
  std::string packet = "E" + reason.substr(0, kResidentReasonLimit);
  for (char& c : packet) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return packet;
}

#if !defined(_WIN32)
// The channel KARVEL_RESIDENT_FD names: -1 unless it is a decimal descriptor of a SOCK_SEQPACKET
// socket.
inline int ResidentChannel(const char* text) {
  if (text == nullptr || *text < '0' || *text > '9') return -1;
  char* end = nullptr;
  errno = 0;
  const long fd = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || fd > INT_MAX) return -1;
  int type = 0;
  socklen_t size = sizeof type;
  if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_SEQPACKET) return -1;
  return static_cast<int>(fd);
}

inline void SendPacket(int channel, const std::string& packet) {
  // A failed send means the spawner is gone: the next read sees the end of the channel.
  while (send(channel, packet.data(), packet.size(), 0) < 0 && errno == EINTR) {
  }
}

// Why the packet of `length` bytes is no request, "" when it is one.
inline std::string RefusedPacket(const char* packet, size_t length) {
  if (packet[0] != 'R') return "not a request packet";
  if (length > 1 + kResidentPathLimit) return "exchange file path longer than 4095 bytes";
  if (length == 1 || packet[1] != '/') return "exchange file path not absolute";
  if (std::memchr(packet + 1, 0, length - 1) != nullptr) return "NUL in the exchange file path";
  return "";
}

inline int ServeResident(int channel, const Handler& handler, const char* program) {
  std::signal(SIGPIPE, SIG_IGN);
  // Programs the handler starts get neither the channel nor its name: a child holding the
  // instance's end would hide the instance's exit from the spawner.
  fcntl(channel, F_SETFD, FD_CLOEXEC);
  unsetenv("KARVEL_RESIDENT_FD");
  // One byte more than the longest request packet, so that a longer one shows (it is cut there).
  char packet[1 + kResidentPathLimit + 1];
  for (;;) {
    const ssize_t n = recv(channel, packet, sizeof packet, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "%s: reading the resident channel: %s\n", program, std::strerror(errno));
      return 1;
    }
    if (n == 0) return 0;  // the spawner's end closed, or an empty packet: this instance is done
    std::string reason = RefusedPacket(packet, static_cast<size_t>(n));
    if (!reason.empty()) {
      std::fprintf(stderr, "%s: packet refused: %s\n", program, reason.c_str());
    } else {
      reason = HandleOne(handler, std::string(packet + 1, static_cast<size_t>(n) - 1), program);
    }
    SendPacket(channel, reason.empty() ? std::string("D") : ReasonPacket(reason));
  }
}
#endif

}  // namespace detail

// The whole of a back-end's main: `return karvel::Serve(argc, argv, handler);`. With one argument
// it answers that exchange file and returns 0, or 1 when the request went unanswered (the reason
// on standard error). Without arguments and with KARVEL_RESIDENT_FD set (POSIX) it serves the
// spawner's channel until its end and returns 0. Anything else is bad usage: 2.
inline int Serve(int argc, char** argv, const Handler& handler) {
  const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "back-end";
  if (argc == 2) return detail::HandleOne(handler, argv[1], program).empty() ? 0 : 1;
#if !defined(_WIN32)
  const char* channelName = std::getenv("KARVEL_RESIDENT_FD");
  if (argc <= 1 && channelName != nullptr) {
    const int channel = detail::ResidentChannel(channelName);
    if (channel >= 0) return detail::ServeResident(channel, handler, program);
    std::fprintf(stderr, "%s: KARVEL_RESIDENT_FD=%s is no SOCK_SEQPACKET socket\n", program, channelName);
    return 2;
  }
#endif
  std::fprintf(stderr, "usage: %s EXCHANGE_FILE\n", program);
  return 2;
}

}  // namespace karvel

#endif  // KARVEL_BACKEND_KARVEL_BACKEND_H

// An exchange file read for showing: its request side (header, index, each field's records and
// their shape) or, once answered, its answer. Unlike the kit's reader it keeps where each part
// lies, and a file that is no exchange file is refused with the offset where it stops making sense.
#ifndef KARVEL_TOOLS_DUMP_EXCHANGE_DUMP_H
#define KARVEL_TOOLS_DUMP_EXCHANGE_DUMP_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The two value records the server writes.
enum ValueShape {
  kPlainValue,    // the value's bytes and a NUL (a converted value)
  kValueWithNul,  // the value's bytes, a NUL and a zero byte (left as it came; its length counts the NUL)
};

struct DumpedField {
  uint64_t nEntryAt;     // its index entry
  uint64_t nNameAt;      // its name record (from the file's first byte as 0)
  uint64_t nValueAt;     // its value record
  uint32_t nOffsetBase;  // 1 or 0: how its entry counts offsets
  ValueShape shape;
  std::string name;   // without its NUL
  std::string value;  // as a back-end reads it
};

enum AnswerKindShown {
  kShownPage,   // '1'
  kShownUrl,    // '2'
  kShownFile,   // '4'
  kShownOther,  // any other result code: the server answers with an error
};

// Where the answer area begins: behind the answered mark, the result code and two bytes.
constexpr uint64_t kDumpAnswerAreaAt = 4;
// What the server reads of a URL and of a file path; a longer one is read as none.
constexpr uint64_t kDumpUrlLimit = 8192;
constexpr uint64_t kDumpPathLimit = 4096;

struct DumpedExchange {
  uint64_t nSize;
  bool bAnswered;
  // The request side.
  char cMethod;  // '1' POST, '2' GET, '0' other
  uint32_t nConnection;
  std::string remoteAddr, remoteUser;
  uint32_t nFieldCount;  // as the header says; fields holds the listed ones
  std::vector<DumpedField> fields;
  // The answer.
  unsigned char cResultCode;
  AnswerKindShown answerKind;
  uint64_t nAreaBytes;    // the answer area's length
  uint64_t nHeaderBytes;  // a page's header block, its empty line included
  bool bHeaderEnded;      // false: no empty line, the block runs to the end
  std::string answerText;  // a page's header block, or the URL or path as the server reads it (NULs as blanks)
};

// Reads `bytes`, a whole file. False with *reason (offsets from 0, the file's size) when it is no
// exchange file; never reads outside `bytes`.
bool ReadExchange(std::string_view bytes, DumpedExchange* out, std::string* reason);

#endif  // KARVEL_TOOLS_DUMP_EXCHANGE_DUMP_H

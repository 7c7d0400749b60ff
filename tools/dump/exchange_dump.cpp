#include "tools/dump/exchange_dump.h"

#include <cstdio>

#include "karvel_exchange_layout.h"

namespace {

constexpr uint64_t kHeaderBytes = KARVEL_EXCHANGE_HEADER_BYTES;
constexpr uint64_t kEntryBytes = KARVEL_EXCHANGE_ENTRY_BYTES;
constexpr uint64_t kTextBytes = KARVEL_EXCHANGE_TEXT_BYTES;

uint32_t NumberAt(const unsigned char* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

std::string TextAt(const unsigned char* at) {
  uint64_t n = 0;
  while (n < kTextBytes && at[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(at), n);
}

std::string Hex(unsigned char byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

bool Refuse(std::string* reason, const std::string& why, uint64_t size) {
  *reason = why + " (file is " + std::to_string(size) + (size == 1 ? " byte)" : " bytes)");
  return false;
}

// A page's header block: its lines (LF, or CR LF) up to and with the first empty line.
void FindHeaderBlock(const unsigned char* area, uint64_t length, DumpedExchange* out) {
  uint64_t at = 0;
  out->bHeaderEnded = false;
  while (at < length) {
    uint64_t end = at;
    while (end < length && area[end] != '\n') ++end;
    const bool empty = end == at || (end == at + 1 && area[at] == '\r');
    if (end == length) {
      at = length;
      break;
    }
    at = end + 1;
    if (empty) {
      out->bHeaderEnded = true;
      break;
    }
  }
  out->nHeaderBytes = at;
}

bool ReadAnswer(const unsigned char* file, uint64_t size, DumpedExchange* out) {
  out->bAnswered = true;
  out->cResultCode = file[1];
  out->nAreaBytes = size > kDumpAnswerAreaAt ? size - kDumpAnswerAreaAt : 0;
  const unsigned char* area = file + (size > kDumpAnswerAreaAt ? kDumpAnswerAreaAt : size);
  switch (file[1]) {
    case '1': out->answerKind = kShownPage; break;
    case '2': out->answerKind = kShownUrl; break;
    case '4': out->answerKind = kShownFile; break;
    default: out->answerKind = kShownOther; break;
  }
  if (out->answerKind == kShownPage) {
    FindHeaderBlock(area, out->nAreaBytes, out);
    out->answerText.assign(reinterpret_cast<const char*>(area), out->nHeaderBytes);
  } else if (out->answerKind != kShownOther) {
    const uint64_t limit = out->answerKind == kShownUrl ? kDumpUrlLimit : kDumpPathLimit;
    if (out->nAreaBytes <= limit) out->answerText.assign(reinterpret_cast<const char*>(area), out->nAreaBytes);
    for (char& c : out->answerText) {
      if (c == '\0') c = ' ';
    }
  }
  return true;
}

bool EntryUnused(const unsigned char* entry) {
  for (uint64_t k = 0; k < kEntryBytes; ++k) {
    if (entry[k] != 0) return false;
  }
  return true;
}

}  // namespace

bool ReadExchange(std::string_view bytes, DumpedExchange* out, std::string* reason) {
  const auto* file = reinterpret_cast<const unsigned char*>(bytes.data());
  const uint64_t size = bytes.size();
  *out = DumpedExchange{};
  out->nSize = size;
  if (size == 0) return Refuse(reason, "the file is empty", size);
  if (file[0] == '9') {
    if (size < 2) return Refuse(reason, "the answered mark at offset 0 has no result code at offset 1", size);
    return ReadAnswer(file, size, out);
  }
  if (file[0] != '0' && file[0] != '1' && file[0] != '2') {
    return Refuse(reason, "byte 0 is " + Hex(file[0]) + ", neither a method digit ('0', '1', '2') nor the answered mark '9'", size);
  }
  if (size < 2 || file[1] != ' ') {
    return Refuse(reason, size < 2 ? "the header ends at offset 1" : "byte 1 is " + Hex(file[1]) + ", not a blank", size);
  }
  for (uint64_t k = 2; k < 4; ++k) {
    if (size <= k) return Refuse(reason, "the header ends at offset " + std::to_string(k), size);
    if (file[k] != 0) return Refuse(reason, "byte " + std::to_string(k) + " is " + Hex(file[k]) + ", not zero", size);
  }
  if (size < kHeaderBytes) {
    return Refuse(reason, "the header runs to offset " + std::to_string(kHeaderBytes) + " but the file ends at offset " +
                              std::to_string(size), size);
  }
  out->cMethod = static_cast<char>(file[0]);
  out->nConnection = NumberAt(file + 4);
  out->remoteAddr = TextAt(file + KARVEL_EXCHANGE_CLIENT_ADDR_AT);
  out->remoteUser = TextAt(file + KARVEL_EXCHANGE_CLIENT_USER_AT);
  const uint32_t count = NumberAt(file + KARVEL_EXCHANGE_FIELD_COUNT_AT);
  out->nFieldCount = count;
  uint64_t position = kHeaderBytes + uint64_t{count} * kEntryBytes;
  if (position > size) {
    return Refuse(reason, "the field count at offset " + std::to_string(KARVEL_EXCHANGE_FIELD_COUNT_AT) + " says " +
                              std::to_string(count) + " but the index ends at " + std::to_string(position), size);
  }
  // Fields counted but not listed have all-zero entries, and only at the end.
  uint32_t listed = 0;
  while (listed < count && !EntryUnused(file + kHeaderBytes + uint64_t{listed} * kEntryBytes)) ++listed;
  for (uint32_t k = listed; k < count; ++k) {
    const uint64_t entryAt = kHeaderBytes + uint64_t{k} * kEntryBytes;
    if (!EntryUnused(file + entryAt)) {
      return Refuse(reason, "index entry " + std::to_string(k) + " at offset " + std::to_string(entryAt) +
                                " is used after the unused entry " + std::to_string(listed), size);
    }
  }
  for (uint32_t k = 0; k < listed; ++k) {
    DumpedField field{};
    field.nEntryAt = kHeaderBytes + uint64_t{k} * kEntryBytes;
    const unsigned char* entry = file + field.nEntryAt;
    const uint64_t nameOffset = NumberAt(entry), nameLength = NumberAt(entry + 4);
    const uint64_t valueOffset = NumberAt(entry + 8), valueLength = NumberAt(entry + 12);
    const std::string where = "field " + std::to_string(k) + " (index entry at offset " + std::to_string(field.nEntryAt) + "): ";
    if (nameOffset != position && nameOffset != position + 1) {
      return Refuse(reason, where + "its name offset says " + std::to_string(nameOffset) + " but its name record begins at " +
                                std::to_string(position), size);
    }
    field.nOffsetBase = static_cast<uint32_t>(nameOffset - position);
    field.nNameAt = position;
    if (nameLength == 0) return Refuse(reason, where + "its name length is 0, with no room for the name's NUL", size);
    if (position + nameLength > size) {
      return Refuse(reason, where + "its name record at offset " + std::to_string(position) + " of " +
                                std::to_string(nameLength) + " bytes runs past the end", size);
    }
    if (file[position + nameLength - 1] != 0) {
      return Refuse(reason, where + "its name record has no NUL at offset " + std::to_string(position + nameLength - 1), size);
    }
    field.name.assign(bytes.data() + position, nameLength - 1);
    position += nameLength;
    field.nValueAt = position;
    if (valueOffset != position + field.nOffsetBase) {
      return Refuse(reason, where + "its value offset says " + std::to_string(valueOffset) + " but its value record begins at " +
                                std::to_string(position) + (field.nOffsetBase ? " (" + std::to_string(position + 1) + " counted from 1)" : ""),
                    size);
    }
    if (position + valueLength + 1 > size) {
      return Refuse(reason, where + "its value record at offset " + std::to_string(position) + " of " +
                                std::to_string(valueLength + 1) + " bytes runs past the end", size);
    }
    if (file[position + valueLength] != 0) {
      return Refuse(reason, where + "its value record has no closing zero at offset " + std::to_string(position + valueLength), size);
    }
    field.shape = valueLength > 0 && file[position + valueLength - 1] == 0 ? kValueWithNul : kPlainValue;
    field.value.assign(bytes.data() + position, field.shape == kValueWithNul ? valueLength - 1 : valueLength);
    position += valueLength + 1;
    out->fields.push_back(std::move(field));
  }
  if (position != size) {
    return Refuse(reason, std::to_string(size - position) + " bytes follow the last record, which ends at offset " +
                              std::to_string(position), size);
  }
  return true;
}

// Reading a fake request and walking the list it gives, with the list's invariants checked on the
// way: records in order with consecutive value offsets, a NUL behind each value, every record
// pointing to the head, the head carrying the value buffer's address behind its name.
#ifndef KARVEL_TESTS_GATEWAY_FORM_TEST_SUPPORT_H
#define KARVEL_TESTS_GATEWAY_FORM_TEST_SUPPORT_H

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "gateway/fake_ecb.h"
#include "gateway/form_reader.h"

namespace gateway_test {

struct Field {
  std::string name, value;
  int flag, same;
};

struct Outcome {
  bool listed = false;
  int32_t count = -1;
  std::vector<Field> fields;
  std::string problems;  // broken invariants and reader faults seen by the fake; "" when none
};

// The bytes with anything outside printable ASCII (and the backslash) written as \xNN.
inline std::string Show(const std::string& bytes, size_t limit = 300) {
  std::string out;
  for (size_t k = 0; k < bytes.size() && k < limit; ++k) {
    const unsigned char c = static_cast<unsigned char>(bytes[k]);
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += (c >= 0x20 && c < 0x7F && c != '\\') ? std::string(1, static_cast<char>(c)) : hex;
  }
  return bytes.size() > limit ? out + "...(" + std::to_string(bytes.size()) + " bytes)" : out;
}

inline std::string Describe(const Outcome& o) {
  std::string text = (o.listed ? "list" : "null") + std::string(", count ") + std::to_string(o.count);
  for (const Field& f : o.fields) {
    text += "\n  [" + Show(f.name) + "] = [" + Show(f.value, 120) + "] flag " +
            std::to_string(f.flag) + " same " + std::to_string(f.same);
  }
  return text + (o.problems.empty() ? "" : "\n  problems: " + o.problems);
}

// Reads `fake`, checks the list and releases it through its `freeAt`-th record (or the last).
inline Outcome ReadForm(FakeEcb& fake, size_t freeAt = 1) {
  Outcome o;
  FormField* head = ReadFormFields(fake.Ecb(), &o.count);
  karvel_test::FailNextAllocations(0);
  o.listed = head != nullptr;
  o.problems = fake.fault();
  auto problem = [&o](const std::string& what) { o.problems += what + "; "; };
  const char* buffer = nullptr;
  if (head != nullptr) {
    const size_t nameLength = std::strlen(head->szName);
    std::memcpy(&buffer, head->szName + nameLength + 1, sizeof buffer);
    if (buffer != head->pValue) problem("value buffer address missing behind the head's name");
  }
  FormField* freeFrom = head;
  int32_t expectedOffset = 0;
  for (FormField* field = head; field != nullptr;) {
    char* name = nullptr;
    int32_t length = -1, flag = -1, same = -1;
    FormField* next = GetFormField(field, &name, &length, &flag, &same);
    const std::string where = "record " + std::to_string(o.fields.size()) + ": ";
    if (next != field->pNext || name != field->szName || length != field->nValueLength ||
        flag != field->bNonPrintable || same != field->nSameNameCount) {
      problem(where + "GetFormField outputs differ from the record");
    }
    if (field->pHead != head) problem(where + "pHead is not the head");
    if (field->nValueOffset != expectedOffset) problem(where + "value offset not consecutive");
    if (GetFormFieldValue(field) != field->pValue || field->pValue != buffer + field->nValueOffset) {
      problem(where + "pValue is not value buffer + offset");
    }
    if (length < 0 || flag < 0 || flag > 1) problem(where + "length or flag out of range");
    if (length >= 0 && field->pValue[length] != '\0') problem(where + "no NUL behind the value");
    o.fields.push_back({name, std::string(field->pValue, length < 0 ? 0 : length), flag, same});
    expectedOffset += length + 1;
    if (o.fields.size() == freeAt + 1) freeFrom = field;
    field = next;
    if (static_cast<int64_t>(o.fields.size()) > o.count) {
      problem("more records than the count");
      break;
    }
  }
  FreeFormFields(freeFrom);
  return o;
}

// Expected field: flag or same -1 when not checked. A value "@name" stands for the path of the
// saved upload `name` inside the request's upload directory.
struct Want {
  std::string name, value;
  int flag = -1, same = 0;
};

// The names in directory `path` (without . and ..); empty when it cannot be read.
inline std::set<std::string> Entries(const std::string& path) {
  std::set<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    closedir(dir);
  }
  return names;
}

// True when `dir` is <tmp>/VCU<16 hex digits>.tmp for the temporary directory `tmp`: a random name
// no other request can guess.
inline bool IsUploadDirectory(const std::string& tmp, const std::string& dir) {
  const std::string prefix = tmp + "/VCU";
  if (dir.compare(0, prefix.size(), prefix) != 0 || dir.size() < prefix.size() + 5) return false;
  const std::string number = dir.substr(prefix.size(), dir.size() - prefix.size() - 4);
  return number.size() == 16 && dir.compare(dir.size() - 4, 4, ".tmp") == 0 &&
         number.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// Compares what was read with what `label` wants; `uploads` is the request's upload directory.
inline void ExpectRead(const std::string& label, const Outcome& o, bool listed, int32_t count,
                       const std::vector<Want>& wants, const std::string& uploads = "") {
  const std::string got = Describe(o);
  EXPECT_EQ(o.problems, "") << label << ": " << got;
  EXPECT_EQ(o.listed, listed) << label << ": " << got;
  EXPECT_EQ(o.count, count) << label << ": " << got;
  ASSERT_EQ(o.fields.size(), wants.size()) << label << ": " << got;
  for (size_t k = 0; k < wants.size(); ++k) {
    const Want& w = wants[k];
    const std::string value = (!w.value.empty() && w.value[0] == '@') ? uploads + "/" + w.value.substr(1)
                                                                      : w.value;
    EXPECT_EQ(Show(o.fields[k].name), Show(w.name)) << label << ", record " << k << ": " << got;
    EXPECT_EQ(Show(o.fields[k].value), Show(value)) << label << ", record " << k << ": " << got;
    if (w.flag >= 0) {
      EXPECT_EQ(o.fields[k].flag, w.flag) << label << ", record " << k << ": " << got;
    }
    if (w.same >= 0) {
      EXPECT_EQ(o.fields[k].same, w.same) << label << ", record " << k << ": " << got;
    }
  }
}

}  // namespace gateway_test

#endif  // KARVEL_TESTS_GATEWAY_FORM_TEST_SUPPORT_H

// What karvel-dump prints of one exchange file: in words for people, or as one JSON object for
// tools. Uploads are looked up in the request's upload directory as the kit finds it: beside the
// exchange file at `path`, or in KARVEL_UPLOAD_DIR where the environment names one.
#ifndef KARVEL_TOOLS_DUMP_DUMP_OUTPUT_H
#define KARVEL_TOOLS_DUMP_DUMP_OUTPUT_H

#include <string>

#include "tools/dump/exchange_dump.h"

// The file in words, a line per item; `withHex` adds each field's bytes in hex.
std::string DumpInWords(const std::string& path, const DumpedExchange& dump, bool withHex);

// The file as one JSON object (no line break at the end).
std::string DumpAsJson(const std::string& path, const DumpedExchange& dump);

// A file that could not be shown, as a JSON object: its path and the reason.
std::string FailureAsJson(const std::string& path, const std::string& reason);

#endif  // KARVEL_TOOLS_DUMP_DUMP_OUTPUT_H

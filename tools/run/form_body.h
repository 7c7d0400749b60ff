// The form a browser would send for karvel-run's fields: a query string, an urlencoded body or a
// multipart body, its values converted from the terminal's UTF-8 to the charset asked and that
// charset declared the way the extension reads it (the content type's charset parameter of a
// body; a `_charset_` field, first, in a query string, which has no content type).
#ifndef KARVEL_TOOLS_RUN_FORM_BODY_H
#define KARVEL_TOOLS_RUN_FORM_BODY_H

#include <string>

#include "tools/run/run_options.h"

struct BuiltForm {
  std::string method;       // "GET" or "POST"
  std::string query;        // the query string, without '?'
  std::string body;
  std::string contentType;  // "" for a GET
};

// UTF-8 `text` in `charset` into *out; false with *error when a character has no place in it.
bool ConvertFromUtf8(const std::string& text, SendCharset charset, std::string* out, std::string* error);

// application/x-www-form-urlencoded, as browsers (and Python's urlencode) write it.
std::string UrlEncode(const std::string& bytes);

// The form for `options`, PROGRAM named by a VCEXE field first unless a VCEXE or VBEXE field is
// among them (a --body names its own); multipart parts are separated by `boundarySeed`, grown
// until no part holds it. False with *error when a value cannot be converted or a file read.
bool BuildForm(const RunOptions& options, const std::string& programName, const std::string& boundarySeed, BuiltForm* form,
               std::string* error);

#endif  // KARVEL_TOOLS_RUN_FORM_BODY_H

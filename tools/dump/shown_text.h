// Bytes made safe to show: on a terminal (no control byte reaches it) and in JSON (always valid
// UTF-8). What does not decode, and every control character, is written as an escape, a backslash
// as two, so the bytes can always be told back from what is shown.
#ifndef KARVEL_TOOLS_DUMP_SHOWN_TEXT_H
#define KARVEL_TOOLS_DUMP_SHOWN_TEXT_H

#include <string>
#include <string_view>

// Field values and the other text of the exchange: code page 932 decoded to UTF-8 as the kit
// decodes it, a byte that begins no character as \xNN, controls as \t \r \n or \xNN.
std::string ShownCp932(std::string_view bytes);

// Paths of this system (file names, uploads): UTF-8 kept, anything else escaped as above.
std::string ShownUtf8(std::string_view bytes);

// "61 62 63": each byte in hex, a blank between.
std::string HexOf(std::string_view bytes);

// `text` (valid UTF-8) as a JSON string, quotes included.
std::string JsonString(std::string_view text);

#endif  // KARVEL_TOOLS_DUMP_SHOWN_TEXT_H

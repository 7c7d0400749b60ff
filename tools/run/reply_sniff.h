// The type of a raw reply (bytes sent without a header), told as the server tells it: libmagic's
// MIME type, its charset kept for text only. The magic database is loaded at the first raw reply
// only: most replies have headers, and loading it costs more than running a small program.
#ifndef KARVEL_TOOLS_RUN_REPLY_SNIFF_H
#define KARVEL_TOOLS_RUN_REPLY_SNIFF_H

#include <cstddef>
#include <string>

std::string SniffReplyType(const char* bytes, size_t size);

#endif  // KARVEL_TOOLS_RUN_REPLY_SNIFF_H

// One file given to karvel-dump, read whole: only a regular file (a FIFO would wait, a device
// never end), opened without a wait.
#ifndef KARVEL_TOOLS_DUMP_DUMP_FILE_H
#define KARVEL_TOOLS_DUMP_DUMP_FILE_H

#include <string>

// The bytes of the regular file at `path`; false with *reason ("a directory", the system's
// error) otherwise.
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* reason);

#endif  // KARVEL_TOOLS_DUMP_DUMP_FILE_H

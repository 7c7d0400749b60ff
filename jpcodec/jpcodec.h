// jpcodec: rewrites JIS (ISO-2022-JP) and EUC-JP text in place as Shift-JIS.
#ifndef KARVEL_JPCODEC_JPCODEC_H
#define KARVEL_JPCODEC_JPCODEC_H

#include "platform/export.h"

// `buf` holds a text that ends at its first NUL within `len` bytes (`len` counts that NUL).
// Text that is neither JIS nor EUC-JP (ASCII, Shift-JIS already) is left untouched and `len` is
// returned as passed; so is a `len` of 0 or above 0x7FFFFFFF. Converted text is written over `buf`
// from its start, never more than `len` bytes, its NUL included; bytes after that NUL keep their
// contents. The result is then the converted text's length without the NUL, or `len` when the
// first `len` bytes hold no NUL. Never fails; if no scratch memory can be had, `buf` is untouched
// and `len` returned. Exported with C++ linkage (cdecl on Windows); safe on any thread.
KARVEL_EXPORT unsigned long ConvertToSjis2(char* buf, unsigned long len);

#endif  // KARVEL_JPCODEC_JPCODEC_H

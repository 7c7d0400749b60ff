// The converter's interface for the extension, beside its one export (ConvertToSjis2): the
// detection and the converters a declared encoding chooses, the UTF-8 converter, the text stream
// that converts a long value block by block, and the code page 932 decoder. The extension links
// them in from jpcodec's internals; jpcodec.so does not export them. The converter's own steps
// stay in internal.h, for its own files and its tests.
#ifndef KARVEL_JPCODEC_CONVERTERS_H
#define KARVEL_JPCODEC_CONVERTERS_H

#include <cstdint>

#include "jpcodec/cp932_decode.h"
#include "jpcodec/text_stream.h"
#include "jpcodec/utf8_to_sjis.h"

namespace jpcodec {

// The longest text (its NUL counted) the converters take: lengths are signed 32-bit inside.
inline constexpr unsigned long kMostTextBytes = 0x7FFFFFFFul;

enum DetectOutcome { kUnchanged, kEucJp, kJis };

// Decides from the first deciding byte before the NUL (or `len`) whether `buf` is JIS, EUC-JP, or
// neither. Reads nothing at `len` or beyond.
DetectOutcome DetectCode(const uint8_t* buf, int32_t len);

// The whole conversion as ConvertToSjis2 does it, without detection: the text is taken as
// `outcome` says (a form that declares its encoding). kUnchanged leaves it as it is and returns
// `len`.
unsigned long ConvertTextAs(char* buf, unsigned long len, DetectOutcome outcome);

}  // namespace jpcodec

#endif  // KARVEL_JPCODEC_CONVERTERS_H

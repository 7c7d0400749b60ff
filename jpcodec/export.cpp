// The library's one export.
#include "jpcodec/internal.h"
#include "jpcodec/jpcodec.h"

unsigned long ConvertToSjis2(char* buf, unsigned long len) { return jpcodec::ConvertText(buf, len); }

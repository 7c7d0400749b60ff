// The media type of reply bytes that come without headers (an image the extension sends as it
// is), taken from the bytes themselves with libmagic. One handle per Apache child.
#ifndef KARVEL_HOST_CONTENT_SNIFF_H
#define KARVEL_HOST_CONTENT_SNIFF_H

#include <cstddef>

#include <apr_pools.h>

// Opens the child's handle; false (and sniffing answers the fallback) when libmagic fails.
bool OpenContentSniffer();
// "image/png", "text/html; charset=us-ascii", ... copied into `pool`; "application/octet-stream"
// when the bytes are not recognised or there is no handle.
const char* SniffContentType(apr_pool_t* pool, const void* data, size_t size);

#endif  // KARVEL_HOST_CONTENT_SNIFF_H

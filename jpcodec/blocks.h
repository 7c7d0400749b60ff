// Block steps of the converters: classify or convert kBlockBytes bytes at once. Loops over whole
// blocks test a block with AllInRange and advance by a constant, so one block's test never waits
// for the previous block's count; the Leading* counts serve only where a run ends. With AVX2 a
// block is 32 bytes, with SSE2 16, each step a handful of vector instructions; without either (any
// i686, or a build with JPCODEC_PLAIN) a block is 8 bytes done one byte at a time. All give the
// same results as the byte-at-a-time steps they stand for; callers only use them where a whole
// block lies inside both the source and the scratch buffer.
#ifndef KARVEL_JPCODEC_BLOCKS_H
#define KARVEL_JPCODEC_BLOCKS_H

// The converters are compiled once per block width, each into the namespace JPCODEC_BLOCKS: `wide`
// for the AVX2 build of convert_euc.cpp and convert_jis.cpp, `narrow` for everything else.
#if defined(JPCODEC_AVX2)
#include "jpcodec/blocks_avx2.h"
#define JPCODEC_BLOCKS wide
#elif defined(__SSE2__) && !defined(JPCODEC_PLAIN)
#include "jpcodec/blocks_sse2.h"
#define JPCODEC_BLOCKS narrow
#else
#include "jpcodec/blocks_plain.h"
#define JPCODEC_BLOCKS narrow
#endif

#endif  // KARVEL_JPCODEC_BLOCKS_H

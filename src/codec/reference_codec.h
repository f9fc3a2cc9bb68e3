// zstd frames made with a reference: the content is coded against bytes the decoder
// already holds (an old file, other files of the install), which it only reads. The
// frame states its content size; the reference itself is not in it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt4 {

// The content size the frame states, or -1 when the bytes do not begin with a frame
// header that states one.
int64_t ReferenceFrameContentSize(const uint8_t* frame, size_t frameSize);

// Decodes the frame into `out`, which must take exactly the frame's content: true only
// when the whole frame decodes to `outSize` bytes. `reference` may be null for none.
bool DecodeWithReference(const uint8_t* frame, size_t frameSize, const uint8_t* reference,
                         size_t referenceSize, uint8_t* out, size_t outSize);

// A heap block (FreeBlock) with the frame of `content` coded against `reference` at the
// zstd level given, its window wide enough to see the whole reference; null when coding
// fails or memory runs short. *frameSize receives the frame's size.
uint8_t* EncodeWithReference(const uint8_t* content, size_t contentSize, const uint8_t* reference,
                             size_t referenceSize, int level, size_t* frameSize);

// The highest level the library offers.
int MaxReferenceLevel();
// The log2 of the most entries a search table of zstd's takes at `level` (the measure of
// its memory: a few bytes an entry, a few tables).
int SearchTableLog(int level);

}  // namespace zt4

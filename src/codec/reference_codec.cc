#include "codec/reference_codec.h"

#include <zstd.h>

#include "base/heap.h"

namespace zt4 {
namespace {

// The largest window a frame may ask for; the decoder is told to accept it, since a
// frame sees its whole reference.
constexpr int kMaxWindowLog = 31;

// The levels past 19 search tables of up to 2^27 entries each; held to 2^25 their search
// keeps its gain on large text (measured on 9 MB bundles: 2^24 lost it) with half a GiB
// less per frame coded at once.
constexpr int kFirstUltraLevel = 20;
constexpr int kMostUltraTableLog = 25;

int WindowLogFor(size_t span) {
  int log = 10;
  while (log < kMaxWindowLog && (size_t{1} << log) < span) ++log;
  return log;
}

}  // namespace

int64_t ReferenceFrameContentSize(const uint8_t* frame, size_t frameSize) {
  unsigned long long size = ZSTD_getFrameContentSize(frame, frameSize);
  if (size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR ||
      size > static_cast<unsigned long long>(INT64_MAX)) {
    return -1;
  }
  return static_cast<int64_t>(size);
}

bool DecodeWithReference(const uint8_t* frame, size_t frameSize, const uint8_t* reference,
                         size_t referenceSize, uint8_t* out, size_t outSize) {
  if (ReferenceFrameContentSize(frame, frameSize) != static_cast<int64_t>(outSize)) return false;
  // One frame, nothing after it: trailing bytes would be a second frame or damage.
  if (ZSTD_findFrameCompressedSize(frame, frameSize) != frameSize) return false;
  ZSTD_DCtx* context = ZSTD_createDCtx();
  if (!context) return false;
  bool ok = !ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, kMaxWindowLog)) &&
            (!reference || !ZSTD_isError(ZSTD_DCtx_refPrefix(context, reference, referenceSize)));
  if (ok) {
    // An empty content still needs somewhere to point.
    static uint8_t nothing;
    size_t written = ZSTD_decompressDCtx(context, outSize ? out : &nothing, outSize, frame, frameSize);
    ok = !ZSTD_isError(written) && written == outSize;
  }
  ZSTD_freeDCtx(context);
  return ok;
}

uint8_t* EncodeWithReference(const uint8_t* content, size_t contentSize, const uint8_t* reference,
                             size_t referenceSize, int level, size_t* frameSize) {
  *frameSize = 0;
  ZSTD_CCtx* context = ZSTD_createCCtx();
  if (!context) return nullptr;
  size_t capacity = ZSTD_compressBound(contentSize);
  uint8_t* frame = AllocBlock(capacity);
  const size_t span = referenceSize + contentSize;
  bool ok =
      frame && !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level)) &&
      !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, WindowLogFor(span))) &&
      !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, 1)) &&
      !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 1)) &&
      (level < kFirstUltraLevel ||
       (!ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_chainLog, kMostUltraTableLog)) &&
        !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_hashLog, kMostUltraTableLog)))) &&
      (!reference || !ZSTD_isError(ZSTD_CCtx_refPrefix(context, reference, referenceSize)));
  if (ok) {
    static const uint8_t nothing = 0;
    size_t written = ZSTD_compress2(context, frame, capacity, contentSize ? content : &nothing,
                                    contentSize);
    ok = !ZSTD_isError(written);
    if (ok) *frameSize = written;
  }
  ZSTD_freeCCtx(context);
  if (!ok) {
    FreeBlock(frame);
    return nullptr;
  }
  return frame;
}

int MaxReferenceLevel() { return ZSTD_maxCLevel(); }

int SearchTableLog(int level) { return level >= kFirstUltraLevel ? kMostUltraTableLog : 24; }

}  // namespace zt4

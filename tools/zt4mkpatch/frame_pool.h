// Codes zstd frames on every core while the builder goes on describing: frames are
// handed in in description order and taken back in the same order, so the patch bytes
// do not depend on which thread finished first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <future>
#include <optional>
#include <vector>

#include "update/compact_format.h"

namespace zt4::builder {

// What the frames being coded at once may take, whatever the number of cores.
inline constexpr uint64_t kFramesMemory = uint64_t{1} << 30;

class FramePool {
 public:
  // `workers` frames at most are coded at once (at least one).
  explicit FramePool(unsigned workers);
  ~FramePool();
  FramePool(const FramePool&) = delete;
  FramePool& operator=(const FramePool&) = delete;

  struct Frame {
    std::vector<uint8_t> bytes;
    // How the content is made of the frame: zstd, the approximate-match diff, or zstd
    // with branch targets made absolute (a program).
    ContentMethod method = ContentMethod::kZstd;
  };
  // Starts coding `content` against `references`, with `tryDiff` also its approximate-
  // match diff from them, keeping the smaller frame; waits first while `workers` frames
  // are being coded, or while those coded would take more than kFramesMemory with it
  // (one is always coded). The number to take the frame back with.
  int64_t Submit(std::vector<uint8_t> content, std::vector<uint8_t> references, int level,
                 bool tryDiff);
  // The frame, waiting for it; nothing when coding failed. Frames are taken in the
  // order they were handed in.
  std::optional<Frame> Take(int64_t ticket);

 private:
  unsigned workers_;
  int64_t firstTicket_ = 0;  // the ticket of jobs_.front()
  std::deque<std::future<std::optional<Frame>>> jobs_;
  std::deque<uint64_t> jobMemory_;  // what each job of jobs_ may take while it is coded
};

}  // namespace zt4::builder

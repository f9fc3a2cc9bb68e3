#include "zt4mkpatch/frame_pool.h"

#include <chrono>

#include "base/heap.h"
#include "codec/reference_codec.h"

namespace zt4::builder {

FramePool::FramePool(unsigned workers) : workers_(workers > 0 ? workers : 1) {}

FramePool::~FramePool() {
  for (auto& job : jobs_) job.wait();
}

int64_t FramePool::Submit(std::vector<uint8_t> content, std::vector<uint8_t> references,
                          int level) {
  for (;;) {
    size_t running = 0;
    std::future<std::optional<std::vector<uint8_t>>>* oldestRunning = nullptr;
    for (auto& job : jobs_) {
      if (job.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        if (!oldestRunning) oldestRunning = &job;
        ++running;
      }
    }
    if (running < workers_) break;
    oldestRunning->wait();
  }
  jobs_.push_back(std::async(
      std::launch::async, [content = std::move(content), references = std::move(references),
                           level]() mutable -> std::optional<std::vector<uint8_t>> {
        // The inputs go when the frame is made, not when it is taken.
        std::vector<uint8_t> data = std::move(content);
        std::vector<uint8_t> reference = std::move(references);
        size_t size = 0;
        uint8_t* frame =
            EncodeWithReference(data.data(), data.size(), reference.empty() ? nullptr : reference.data(),
                                reference.size(), level, &size);
        if (!frame) return std::nullopt;
        std::vector<uint8_t> bytes(frame, frame + size);
        FreeBlock(frame);
        return bytes;
      }));
  return firstTicket_ + static_cast<int64_t>(jobs_.size()) - 1;
}

std::optional<std::vector<uint8_t>> FramePool::Take(int64_t ticket) {
  if (ticket != firstTicket_ || jobs_.empty()) return std::nullopt;
  std::optional<std::vector<uint8_t>> frame = jobs_.front().get();
  jobs_.pop_front();
  ++firstTicket_;
  return frame;
}

}  // namespace zt4::builder

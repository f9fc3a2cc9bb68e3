#include "zt4mkpatch/segment_writer.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/heap.h"
#include "codec/reference_codec.h"
#include "codec/segment_codec.h"

namespace zt4::builder {
namespace {

void Put(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

struct Stretch {
  int32_t source;
  uint64_t offset;
  uint64_t length;
};

// The window's matches as stretches, in new order; one that goes on where the one before
// it ends in the same source joins it. They cover distinct new bytes, so together they
// are never longer than the window; past the most stretches a segment takes, the rest of
// it is coded as new bytes.
std::vector<Stretch> StretchesOf(const std::vector<BlockMatch>& matches) {
  std::vector<Stretch> stretches;
  for (const BlockMatch& m : matches) {
    if (!stretches.empty() && stretches.back().source == m.source &&
        stretches.back().offset + stretches.back().length == m.oldOffset) {
      stretches.back().length += m.length;
    } else if (stretches.size() < kMostSegmentStretches) {
      stretches.push_back({m.source, m.oldOffset, m.length});
    } else {
      break;
    }
  }
  return stretches;
}

// One window's segment, appended to `out`.
bool CodeWindow(const BlockMatcher& matcher, Ranges& ranges, uint64_t start, uint32_t length,
                int level, std::vector<uint8_t>* window, std::vector<uint8_t>* reference,
                std::string* out) {
  window->resize(length);
  std::vector<BlockMatch> matches;
  if (!ranges.Read(Ranges::kNewContent, start, length, window->data()) ||
      !matcher.Match(window->data(), length, start, ranges, &matches)) {
    return false;
  }
  const std::vector<Stretch> stretches = StretchesOf(matches);
  Put(out, length, 4);
  Put(out, stretches.size(), 2);
  size_t referenceBytes = 0;
  for (const Stretch& s : stretches) referenceBytes += static_cast<size_t>(s.length);
  reference->resize(referenceBytes);
  size_t at = 0;
  for (const Stretch& s : stretches) {
    Put(out, static_cast<uint64_t>(s.source), 2);
    Put(out, s.offset, 8);
    Put(out, s.length, 4);
    if (!ranges.Read(s.source, s.offset, static_cast<size_t>(s.length), reference->data() + at)) {
      return false;
    }
    at += static_cast<size_t>(s.length);
  }
  // Stretches that cover the whole window are the segment: no frame at all.
  if (referenceBytes == length) {
    Put(out, 0, 4);
    return true;
  }
  size_t frameSize = 0;
  uint8_t* frame = EncodeWithReference(window->data(), length,
                                       stretches.empty() ? nullptr : reference->data(),
                                       referenceBytes, level, &frameSize);
  if (!frame) return false;
  Put(out, frameSize, 4);
  out->append(reinterpret_cast<const char*>(frame), frameSize);
  FreeBlock(frame);
  return true;
}

}  // namespace

bool WriteSegments(const BlockMatcher& matcher, const RangesMaker& makeRanges,
                   const SegmentJob& job, std::string* payload) {
  if (job.window == 0 || job.window > kSegmentWindow || !matcher.Ready()) return false;
  const uint64_t count = (job.size + job.window - 1) / job.window;
  payload->assign(kSegmentMark, sizeof kSegmentMark);
  Put(payload, job.size, 8);
  Put(payload, count, 4);

  // Workers take windows in order and may run a few ahead of the one written next; the
  // calling thread writes the segments in order.
  const unsigned threads = std::max(1u, job.threads);
  const uint64_t ahead = 2 * uint64_t{threads};
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::optional<std::string>> done(static_cast<size_t>(std::min(count, ahead)));
  uint64_t next = 0;     // the next window a worker takes
  uint64_t written = 0;  // windows in the payload
  bool failed = false;
  auto work = [&] {
    std::unique_ptr<Ranges> ranges = makeRanges();
    std::vector<uint8_t> window;
    std::vector<uint8_t> reference;
    for (;;) {
      uint64_t index;
      {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return failed || next >= count || next < written + ahead; });
        if (failed || next >= count) return;
        index = next++;
      }
      const uint64_t start = index * job.window;
      const auto length = static_cast<uint32_t>(std::min<uint64_t>(job.window, job.size - start));
      std::string segment;
      const bool ok = ranges && CodeWindow(matcher, *ranges, start, length, job.level, &window,
                                           &reference, &segment);
      std::lock_guard<std::mutex> hold(lock);
      if (ok) {
        done[static_cast<size_t>(index % ahead)] = std::move(segment);
      } else {
        failed = true;
      }
      changed.notify_all();
    }
  };
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < threads && i < count; ++i) workers.emplace_back(work);
  {
    std::unique_lock<std::mutex> hold(lock);
    while (written < count) {
      auto& slot = done[static_cast<size_t>(written % ahead)];
      changed.wait(hold, [&] { return failed || slot.has_value(); });
      if (failed) break;
      payload->append(*slot);
      slot.reset();
      ++written;
      changed.notify_all();
      if (job.progress) {
        const uint64_t bytes = std::min(job.size, written * job.window);
        hold.unlock();
        job.progress(bytes);
        hold.lock();
      }
    }
  }
  for (std::thread& worker : workers) worker.join();
  return !failed;
}

}  // namespace zt4::builder

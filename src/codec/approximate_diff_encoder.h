// The encoder of the approximate-match diff the applier reads (the format is in
// codec/approximate_diff.h):
// exact matches of eight bytes or more found through a hash of the reference, each
// extended over the bytes around it for as long as at least half of them agree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zt4 {

std::vector<uint8_t> ApproximateDiff(const uint8_t* reference, size_t referenceSize,
                                     const uint8_t* content, size_t contentSize);

// The sparse form of a diff made above.
std::vector<uint8_t> SparseDiff(const std::vector<uint8_t>& diff);

}  // namespace zt4

#include "base/pool_string.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace zt4 {
namespace {

// Zero-initialised before anything runs; FreeAll at exit gives their blocks back.
constinit BlockPool<64> gPool64{};
constinit BlockPool<256> gPool256{};
constinit BlockPool<1024> gPool1024{};

// The text of a string that could get no storage at all.
char gNoStorage[1] = {0};

class PoolLock {
 public:
  PoolLock() { EnterPoolLock(); }
  ~PoolLock() { LeavePoolLock(); }
  PoolLock(const PoolLock&) = delete;
  PoolLock& operator=(const PoolLock&) = delete;
};

int32_t TextLength(const char* text) { return static_cast<int32_t>(std::strlen(text)); }

}  // namespace

BlockPool<64>& Pool64() { return gPool64; }
BlockPool<256>& Pool256() { return gPool256; }
BlockPool<1024>& Pool1024() { return gPool1024; }

namespace {

uint32_t Slot(const void* block, uint32_t capacity) {
  uint64_t key = reinterpret_cast<uintptr_t>(block) >> 4;
  return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & (capacity - 1);
}

}  // namespace

template <int N>
bool BlockPool<N>::IndexBlock(void* block) {
  // Kept at most half full, so probes stay short.
  if ((static_cast<uint64_t>(usedCount) + 1) * 2 > usedIndexCapacity) {
    uint32_t capacity = usedIndexCapacity ? usedIndexCapacity * 2 : 64;
    void** grown = static_cast<void**>(std::calloc(capacity, sizeof(void*)));
    if (!grown) return false;
    for (uint32_t i = 0; i < usedIndexCapacity; ++i) {
      if (!usedIndex[i]) continue;
      uint32_t slot = Slot(usedIndex[i], capacity);
      while (grown[slot]) slot = (slot + 1) & (capacity - 1);
      grown[slot] = usedIndex[i];
    }
    std::free(usedIndex);
    usedIndex = grown;
    usedIndexCapacity = capacity;
  }
  uint32_t slot = Slot(block, usedIndexCapacity);
  while (usedIndex[slot]) slot = (slot + 1) & (usedIndexCapacity - 1);
  usedIndex[slot] = block;
  return true;
}

template <int N>
bool BlockPool<N>::UnindexBlock(void* block) {
  if (usedIndexCapacity == 0) return false;
  uint32_t mask = usedIndexCapacity - 1;
  uint32_t slot = Slot(block, usedIndexCapacity);
  while (usedIndex[slot] != block) {
    if (!usedIndex[slot]) return false;
    slot = (slot + 1) & mask;
  }
  // Backward-shift deletion keeps every remaining block reachable from its home slot.
  uint32_t hole = slot;
  for (uint32_t next = (hole + 1) & mask; usedIndex[next]; next = (next + 1) & mask) {
    uint32_t home = Slot(usedIndex[next], usedIndexCapacity);
    if (((next - home) & mask) >= ((next - hole) & mask)) {
      usedIndex[hole] = usedIndex[next];
      hole = next;
    }
  }
  usedIndex[hole] = nullptr;
  return true;
}

template <int N>
void* BlockPool<N>::Acquire() {
  PoolLock lock;
  void* block = freeHead;
  bool fresh = block == nullptr;
  if (fresh) {
    block = std::malloc(N + 2 * sizeof(void*));
    if (!block) return nullptr;
  }
  if (!IndexBlock(block)) {
    if (fresh) std::free(block);
    return nullptr;
  }
  if (fresh) {
    ++allocatedCount;
  } else {
    freeHead = LinkOf(block);
  }
  LinkOf(block) = usedHead;
  BackLinkOf(block) = nullptr;
  if (usedHead) BackLinkOf(usedHead) = block;
  usedHead = block;
  ++usedCount;
  return block;
}

template <int N>
void BlockPool<N>::Release(void* block) {
  PoolLock lock;
  if (!block || !UnindexBlock(block)) return;  // not handed out by this pool: ignored
  void* next = LinkOf(block);
  void* previous = BackLinkOf(block);
  if (previous) {
    LinkOf(previous) = next;
  } else {
    usedHead = next;
  }
  if (next) BackLinkOf(next) = previous;
  LinkOf(block) = freeHead;
  freeHead = block;
  --usedCount;
}

template <int N>
void BlockPool<N>::FreeAll() {
  // Runs at exit, after the lock is gone and no string is left.
  if (usedHead) {
    void* last = usedHead;
    while (LinkOf(last)) last = LinkOf(last);
    LinkOf(last) = freeHead;
    freeHead = usedHead;
  }
  while (freeHead) {
    void* next = LinkOf(freeHead);
    std::free(freeHead);
    freeHead = next;
  }
  std::free(usedIndex);
  usedIndex = nullptr;
  usedIndexCapacity = 0;
  usedHead = nullptr;
  usedCount = 0;
  allocatedCount = 0;
}

template class BlockPool<64>;
template class BlockPool<256>;
template class BlockPool<1024>;

PoolString::PoolString() : text(nullptr), length(0), capacity(0) {
  if (!Reserve(32)) text = gNoStorage;
}

PoolString::PoolString(const char* source) : text(nullptr), length(0), capacity(0) {
  int32_t n = TextLength(source);
  int32_t request = 2 * n + 2;
  if (!Reserve(request < 32 ? 32 : request)) {
    text = gNoStorage;
    return;
  }
  std::memcpy(text, source, static_cast<size_t>(n) + 1);
  length = n;
}

PoolString::PoolString(const char* bytes, int32_t count) : text(nullptr), length(0), capacity(0) {
  int32_t request = count > 0 ? 2 * count : 0;
  if (!Reserve(request < 32 ? 32 : request)) {
    text = gNoStorage;
    return;
  }
  int32_t n = 0;
  while (n < count && bytes[n] != 0) ++n;
  std::memcpy(text, bytes, static_cast<size_t>(n));
  text[n] = 0;
  length = n;
}

PoolString::PoolString(const PoolString& other) : text(nullptr), length(0), capacity(0) {
  if (!Reserve(other.capacity > 0 ? other.capacity : 32)) {
    text = gNoStorage;
    return;
  }
  std::memcpy(text, other.text, static_cast<size_t>(other.length) + 1);
  length = other.length;
}

PoolString::~PoolString() {
  PoolLock lock;
  ReturnBlock();
}

void PoolString::ReturnBlock() {
  PoolLock lock;
  if (text && capacity != 0) {
    switch (capacity) {
      case 64:
        gPool64.Release(text);
        break;
      case 256:
        gPool256.Release(text);
        break;
      case 1024:
        gPool1024.Release(text);
        break;
      default:
        std::free(text);
        break;
    }
  }
  text = nullptr;
}

bool PoolString::Reserve(int32_t request) {
  PoolLock lock;
  if (capacity >= request) return true;
  char* block;
  int32_t blockSize;
  if (request <= 64) {
    block = static_cast<char*>(gPool64.Acquire());
    blockSize = 64;
  } else if (request <= 256) {
    block = static_cast<char*>(gPool256.Acquire());
    blockSize = 256;
  } else if (request <= 1024) {
    block = static_cast<char*>(gPool1024.Acquire());
    blockSize = 1024;
  } else {
    block = static_cast<char*>(std::malloc(static_cast<size_t>(request)));
    blockSize = request;
  }
  if (!block) return false;
  if (text) {
    std::memcpy(block, text, static_cast<size_t>(length) + 1);
    ReturnBlock();
  } else {
    block[0] = 0;
  }
  text = block;
  capacity = blockSize;
  return true;
}

char PoolString::CharAt(int32_t position) const {
  return position >= 0 ? text[position] : text[length + position];
}

int32_t PoolString::FindFirst(char c) const {
  for (int32_t i = 0; i < length; ++i) {
    if (text[i] == c) return i;
  }
  return -1;
}

int32_t PoolString::FindLast(char c) const {
  for (int32_t i = length - 1; i >= 0; --i) {
    if (text[i] == c) return i;
  }
  return -1;
}

PoolString& PoolString::Assign(const PoolString& other) {
  if (!Reserve(other.capacity)) return *this;
  std::memmove(text, other.text, static_cast<size_t>(other.length) + 1);
  length = other.length;
  return *this;
}

PoolString& PoolString::Assign(const char* source) {
  int32_t n = TextLength(source);
  // The source may lie inside this string's own block, which Reserve could move.
  if (source >= text && source <= text + length) {
    std::memmove(text, source, static_cast<size_t>(n) + 1);
    length = n;
    return *this;
  }
  if (!Reserve(2 * n + 2)) return *this;
  std::memcpy(text, source, static_cast<size_t>(n) + 1);
  length = n;
  return *this;
}

PoolString& PoolString::Append(const PoolString& other) {
  int32_t otherLength = other.length;
  if (!Reserve(length + otherLength + 1)) return *this;
  std::memmove(text + length, other.text, static_cast<size_t>(otherLength) + 1);
  length += otherLength;
  return *this;
}

PoolString& PoolString::Append(const char* source) { return Append(PoolString(source)); }

PoolString& PoolString::VFormat(const char* format, va_list arguments) {
  if (!Reserve(1024)) {
    length = TextLength(text);
    return *this;
  }
  va_list measure;
  va_copy(measure, arguments);
  int needed = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed >= capacity) Reserve(needed + 1);  // on failure the text is cut to the block
  if (needed >= 0) std::vsnprintf(text, static_cast<size_t>(capacity), format, arguments);
  length = TextLength(text);
  return *this;
}

PoolString& PoolString::Format(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  VFormat(format, arguments);
  va_end(arguments);
  return *this;
}

PoolString PoolString::Formatted(const char* format, ...) {
  PoolString result;
  va_list arguments;
  va_start(arguments, format);
  result.VFormat(format, arguments);
  va_end(arguments);
  return PoolString(result);
}

PoolString PoolString::Tail(int32_t position) const {
  if (position < 0) position += length;
  return PoolString(text + position);
}

PoolString PoolString::Slice(int32_t from, int32_t to) const {
  if (from < 0) from += length;
  if (to < 0) to += length;
  return PoolString(text + from, to - from);
}

bool PoolString::operator==(const PoolString& other) const {
  return std::strcmp(text, other.text) == 0;
}

bool PoolString::operator==(const char* other) const { return std::strcmp(text, other) == 0; }

}  // namespace zt4

#include "lookaside.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace ntsim {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepFreeBlocks = false;
#else
constexpr bool kKeepFreeBlocks = true;
#endif

// Blocks of a size class start on a cache line and fill whole lines, so that
// two threads' blocks (an IRP each, say) never share a line.
constexpr size_t kLine = 64;
size_t wholeLines(size_t bytes) { return (bytes + kLine - 1) / kLine * kLine; }
void* allocateLines(size_t bytes) { return std::aligned_alloc(kLine, wholeLines(bytes)); }

}  // namespace

Lookaside::Lookaside(std::initializer_list<size_t> blockSizes, size_t depth)
    : classes_(blockSizes.size()), depth_(kKeepFreeBlocks ? depth : 0) {
  size_t i = 0;
  for (size_t bytes : blockSizes) {
    classes_[i].blockBytes = bytes;
    classes_[i].free.reserve(depth_);
    ++i;
  }
}

Lookaside::~Lookaside() {
  for (SizeClass& sizeClass : classes_) {
    for (void* block : sizeClass.free) std::free(block);
  }
}

Lookaside::SizeClass* Lookaside::classFor(size_t bytes) {
  for (SizeClass& sizeClass : classes_) {
    if (bytes <= sizeClass.blockBytes) return &sizeClass;
  }
  return nullptr;
}

void* Lookaside::take(SizeClass& sizeClass) {
  {
    std::lock_guard guard(sizeClass.lock);
    if (!sizeClass.free.empty()) {
      void* block = sizeClass.free.back();
      sizeClass.free.pop_back();
      return block;
    }
  }
  return allocateLines(sizeClass.blockBytes);
}

void* Lookaside::allocate(size_t bytes) {
  SizeClass* sizeClass = classFor(bytes);
  return sizeClass != nullptr ? take(*sizeClass) : std::malloc(bytes);
}

void* Lookaside::allocateZeroed(size_t bytes) {
  SizeClass* sizeClass = classFor(bytes);
  if (sizeClass == nullptr) return std::calloc(1, bytes);
  void* block = take(*sizeClass);
  if (block != nullptr) std::memset(block, 0, bytes);
  return block;
}

void Lookaside::release(void* block, size_t bytes) {
  if (block == nullptr) return;
  SizeClass* sizeClass = classFor(bytes);
  if (sizeClass != nullptr) {
    std::lock_guard guard(sizeClass->lock);
    if (sizeClass->free.size() < depth_) {
      sizeClass->free.push_back(block);
      return;
    }
  }
  std::free(block);
}

}  // namespace ntsim

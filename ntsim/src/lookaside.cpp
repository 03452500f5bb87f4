#include "lookaside.h"

#include "thread_slot.h"

#include <cstdlib>
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
    : classes_(blockSizes.size()), depth_(kKeepFreeBlocks ? (depth + kSlots - 1) / kSlots : 0) {
  size_t i = 0;
  for (size_t bytes : blockSizes) {
    classes_[i].blockBytes = bytes;
    for (List& list : classes_[i].slots) list.free.reserve(depth_);
    ++i;
  }
}

Lookaside::~Lookaside() {
  for (SizeClass& sizeClass : classes_) {
    for (List& list : sizeClass.slots) {
      for (void* block : list.free) std::free(block);
    }
  }
}

Lookaside::SizeClass* Lookaside::classFor(size_t bytes) {
  for (SizeClass& sizeClass : classes_) {
    if (bytes <= sizeClass.blockBytes) return &sizeClass;
  }
  return nullptr;
}

size_t Lookaside::slotOfThisThread() { return threadSlot() % kSlots; }

void* Lookaside::allocate(size_t bytes) {
  SizeClass* sizeClass = classFor(bytes);
  if (sizeClass == nullptr) return std::malloc(bytes);
  // This thread's list first, then the others (blocks freed by other threads land there).
  const size_t home = slotOfThisThread();
  for (size_t i = 0; i < kSlots; ++i) {
    List& list = sizeClass->slots[(home + i) % kSlots];
    std::lock_guard guard(list.lock);
    if (!list.free.empty()) {
      void* block = list.free.back();
      list.free.pop_back();
      return block;
    }
  }
  return allocateLines(sizeClass->blockBytes);
}

void Lookaside::release(void* block, size_t bytes) {
  if (block == nullptr) return;
  SizeClass* sizeClass = classFor(bytes);
  if (sizeClass != nullptr) {
    List& list = sizeClass->slots[slotOfThisThread()];
    std::lock_guard guard(list.lock);
    if (list.free.size() < depth_) {
      list.free.push_back(block);
      return;
    }
  }
  std::free(block);
}

}  // namespace ntsim

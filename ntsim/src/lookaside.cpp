#include "lookaside.h"

#include <cstdlib>
#include <mutex>

namespace ntsim {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepFreeBlocks = false;
#else
constexpr bool kKeepFreeBlocks = true;
#endif

}  // namespace

Lookaside::Lookaside(std::initializer_list<size_t> blockSizes, size_t depth)
    : lists_(blockSizes.size()), depth_(kKeepFreeBlocks ? depth : 0) {
  size_t i = 0;
  for (size_t bytes : blockSizes) {
    lists_[i].blockBytes = bytes;
    lists_[i].free.reserve(depth_);
    ++i;
  }
}

Lookaside::~Lookaside() {
  for (List& list : lists_) {
    for (void* block : list.free) std::free(block);
  }
}

Lookaside::List* Lookaside::listFor(size_t bytes) {
  for (List& list : lists_) {
    if (bytes <= list.blockBytes) return &list;
  }
  return nullptr;
}

void* Lookaside::allocate(size_t bytes) {
  List* list = listFor(bytes);
  if (list == nullptr) return std::malloc(bytes);
  {
    std::lock_guard guard(list->lock);
    if (!list->free.empty()) {
      void* block = list->free.back();
      list->free.pop_back();
      return block;
    }
  }
  return std::malloc(list->blockBytes);
}

void Lookaside::release(void* block, size_t bytes) {
  if (block == nullptr) return;
  List* list = listFor(bytes);
  if (list != nullptr) {
    std::lock_guard guard(list->lock);
    if (list->free.size() < depth_) {
      list->free.push_back(block);
      return;
    }
  }
  std::free(block);
}

}  // namespace ntsim

// System buffers of buffered requests, from the machine's lookaside lists.
// Each block starts with a small header that remembers its size, as a pool
// block's header does, so that it goes back to the list it came from.
#include "irp.h"
#include "state.h"

namespace ntsim {
namespace {

struct BufferHeader {
  uint64_t bytes;  // what the caller asked for
  uint64_t magic;
};
constexpr uint64_t kBufferMagic = 0x5346554253595321ull;  // "!SYSBUFS"
static_assert(sizeof(BufferHeader) == 16, "keeps the buffer 16-byte aligned");

}  // namespace

void* allocateSystemBuffer(MachineState& s, size_t bytes) {
  void* block = s.bufferLookaside.allocateZeroed(sizeof(BufferHeader) + bytes);
  if (block == nullptr) return nullptr;
  auto* header = static_cast<BufferHeader*>(block);
  header->bytes = bytes;
  header->magic = kBufferMagic;
  return header + 1;
}

void freeSystemBuffer(MachineState& s, void* buffer) {
  if (buffer == nullptr) return;
  auto* header = static_cast<BufferHeader*>(buffer) - 1;
  if (header->magic != kBufferMagic) {
    s.report("BAD_ARGUMENT", "system buffer " + hex(reinterpret_cast<uintptr_t>(buffer)) +
                                 " freed by the I/O manager was not one it allocated");
    return;
  }
  header->magic = 0;
  s.bufferLookaside.release(header, sizeof(BufferHeader) + header->bytes);
}

}  // namespace ntsim

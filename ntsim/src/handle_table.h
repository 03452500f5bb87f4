// A program's handles: numbers from 1 up, never reused, each naming a file
// object. Every read, write and device control looks its handle up, from
// any number of threads, so a lookup takes no lock: the table is a
// directory of chunks that are only ever added, and an entry is one atomic
// pointer. Opening and closing take the table's lock.
#pragma once

#include <ntsim/ntsim.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace ntsim {

class HandleTable {
 public:
  HandleTable() = default;
  ~HandleTable();
  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

  // The next handle, now naming file; 0 when every handle number is used.
  Handle insert(PFILE_OBJECT file);
  // The file object the handle names, or nullptr when it is not open.
  PFILE_OBJECT find(Handle handle) const;
  // Closes the handle; returns what it named, or nullptr when it was not open.
  PFILE_OBJECT remove(Handle handle);
  // The open handles, lowest first.
  std::vector<Handle> open() const;

 private:
  static constexpr size_t kChunkBits = 10;
  static constexpr size_t kChunkSize = size_t{1} << kChunkBits;
  static constexpr size_t kChunks = 4096;  // over four million handles
  using Entry = std::atomic<PFILE_OBJECT>;

  Entry* entryOf(Handle handle) const;

  std::atomic<Entry*> chunks_[kChunks]{};
  mutable std::mutex mutex_;  // guards next_ and adding chunks
  Handle next_ = 1;
};

}  // namespace ntsim

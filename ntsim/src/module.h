// A driver module mapped into the process: the loader's side of a Driver.
//
// Every Module is mapped from its own anonymous in-memory copy of the file
// (memfd_create), so that two loads of one file never share globals and no
// file is ever written: nothing is left behind in /tmp whatever way the
// process ends, and no path another user could plant a link at is opened.
// The copy is opened by its /proc/<pid>/fd/<n> name, which a sanitizer's
// symbolizer (another process) can open too while the module is mapped.
//
// A Module can also keep a snapshot of its writable bytes (data, bss, the
// relocated pointers that stay writable) taken right after it was mapped,
// and put them back: a ModuleImage loads the same mapping many times that way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ntsim {

class Module {
 public:
  // Copies the file at path into memory and maps it; throws std::runtime_error
  // saying what was wrong (the message names path, never the copy).
  explicit Module(const std::string& path);
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  void* handle() const { return handle_; }
  uintptr_t begin() const { return begin_; }
  uintptr_t end() const { return end_; }
  void* symbol(const char* name) const;

  // The writable bytes of the mapping (RELRO excluded: it is read-only after relocation).
  const std::vector<std::span<std::byte>>& writable() const { return writable_; }
  // Saves the writable bytes now; restore() puts exactly these back.
  void snapshot();
  void restore();

  // Set while a Driver runs from this mapping (a ModuleImage hands it to one load at a time).
  bool inUse = false;

 private:
  std::string mappedName_;  // /proc/<pid>/fd/<n>
  int fd_ = -1;
  void* handle_ = nullptr;
  uintptr_t begin_ = 0;
  uintptr_t end_ = 0;
  std::vector<std::span<std::byte>> writable_;
  std::vector<std::byte> saved_;
};

}  // namespace ntsim

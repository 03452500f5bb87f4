// A driver module mapped into the process: the loader's side of a Driver.
//
// Every Module is mapped from its own anonymous in-memory copy of the file
// (memfd_create), so that two loads of one file never share globals and no
// file is ever written: nothing is left behind in /tmp whatever way the
// process ends, and no path another user could plant a link at is opened.
// The copy is opened by its /proc/<pid>/fd/<n> name, which a sanitizer's
// symbolizer (another process) can open too while the module is mapped.
//
// A ModuleImage maps its copy again for a full reload: the mappings are
// private, so the copy still holds the file's bytes.
//
// A Module can also keep a snapshot of its writable bytes (data, bss, the
// relocated pointers that stay writable) taken right after it was mapped,
// and put them back: a ModuleImage loads the same mapping many times that way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace ntsim {

// A module file's bytes in an anonymous memory file.
class ModuleFile {
 public:
  // Copies the file at path; throws std::runtime_error saying what was wrong.
  explicit ModuleFile(const std::string& path);
  ~ModuleFile();
  ModuleFile(const ModuleFile&) = delete;
  ModuleFile& operator=(const ModuleFile&) = delete;

  // /proc/<pid>/fd/<n>: the name the dynamic loader maps it by.
  const std::string& name() const { return name_; }
  // A mapping the dynamic loader keeps after dlclose (a unique symbol pins
  // it) keeps its name: the descriptor then stays open for good, so that no
  // later file gets that name, and nothing maps this file again.
  void pin() { pinned_ = true; }
  bool pinned() const { return pinned_; }

 private:
  int fd_ = -1;
  std::string name_;
  bool pinned_ = false;
};

class Module {
 public:
  // Copies the file at path into memory and maps it; throws std::runtime_error
  // saying what was wrong (the message names path, never the copy).
  explicit Module(const std::string& path);
  // Maps a copy made before, which no mapping uses now.
  Module(const std::string& path, std::shared_ptr<ModuleFile> file);
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  void* handle() const { return handle_; }
  uintptr_t begin() const { return begin_; }
  uintptr_t end() const { return end_; }
  void* symbol(const char* name) const;
  const std::shared_ptr<ModuleFile>& file() const { return file_; }

  // The writable bytes of the mapping (RELRO excluded: it is read-only after relocation).
  const std::vector<std::span<std::byte>>& writable() const { return writable_; }
  // Saves the writable bytes now; restore() puts exactly these back.
  void snapshot();
  void restore();

  // Set while a Driver runs from this mapping (a ModuleImage hands it to one load at a time).
  bool inUse = false;

 private:
  std::shared_ptr<ModuleFile> file_;
  void* handle_ = nullptr;
  uintptr_t begin_ = 0;
  uintptr_t end_ = 0;
  std::vector<std::span<std::byte>> writable_;
  std::vector<std::byte> saved_;
};

}  // namespace ntsim

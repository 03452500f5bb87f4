// catcheck: reads a driver package's catalog with the system's own catalog
// API, as Windows reads it when it installs the package, and hashes files
// as that API hashes them (CryptCATAdminCalcHashFromFileHandle: for a PE
// image on Windows its Authenticode hash). The Wine tests compare the two
// (tests/wine/windows_programs.py).
//
//   catcheck <catalog.cat> <file>...
//
// Prints "member <tag> <digest>" for each member of the catalog, then
// "file <name> <hash>" for each file; exit status 0 when everything could be
// read, 1 otherwise.
#include <windows.h>
#include <wincrypt.h>
#include <mssip.h>
#include <mscat.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

std::wstring hex(const BYTE* data, DWORD size) {
  static const wchar_t digits[] = L"0123456789ABCDEF";
  std::wstring text;
  for (DWORD i = 0; i < size; ++i) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 0xF];
  }
  return text;
}

// The file's hash as the catalog API computes it, or empty with an error printed.
Bytes file_hash(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fwprintf(stderr, L"catcheck: cannot open %ls: error %lu\n", path, GetLastError());
    return {};
  }
  DWORD size = 0;
  CryptCATAdminCalcHashFromFileHandle(file, &size, nullptr, 0);
  Bytes hash(size);
  if (size == 0 || !CryptCATAdminCalcHashFromFileHandle(file, &size, hash.data(), 0)) {
    std::fwprintf(stderr, L"catcheck: CryptCATAdminCalcHashFromFileHandle(%ls) failed: error %lu\n", path,
                  GetLastError());
    hash.clear();
  }
  CloseHandle(file);
  return hash;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fwprintf(stderr, L"usage: catcheck <catalog.cat> <file>...\n");
    return 1;
  }
  HANDLE catalog = CryptCATOpen(argv[1], CRYPTCAT_OPEN_EXISTING, 0, 0, 0);
  if (catalog == INVALID_HANDLE_VALUE || catalog == nullptr) {
    std::fwprintf(stderr, L"catcheck: CryptCATOpen(%ls) failed: error 0x%08lx\n", argv[1], GetLastError());
    return 1;
  }
  int members = 0;
  for (CRYPTCATMEMBER* m = CryptCATEnumerateMember(catalog, nullptr); m != nullptr;
       m = CryptCATEnumerateMember(catalog, m)) {
    const wchar_t* tag = m->pwszReferenceTag != nullptr ? m->pwszReferenceTag : L"(none)";
    const std::wstring digest =
        m->pIndirectData != nullptr ? hex(m->pIndirectData->Digest.pbData, m->pIndirectData->Digest.cbData) : L"(none)";
    std::wprintf(L"member %ls %ls\n", tag, digest.c_str());
    ++members;
  }
  CryptCATClose(catalog);
  if (members == 0) {
    std::fwprintf(stderr, L"catcheck: %ls has no members (error 0x%08lx)\n", argv[1], GetLastError());
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    const Bytes hash = file_hash(argv[i]);
    if (hash.empty()) return 1;
    std::wprintf(L"file %ls %ls\n", argv[i], hex(hash.data(), static_cast<DWORD>(hash.size())).c_str());
  }
  return 0;
}

#include "win32_error.h"

#include <setupapi.h>

#include <cstdio>

namespace pdinstall {

namespace {

// Not in every SDK's setupapi.h.
#ifndef ERROR_FILE_HASH_NOT_IN_CATALOG
#define ERROR_FILE_HASH_NOT_IN_CATALOG (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x24B)
#endif

std::wstring hex(DWORD code) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08lx", static_cast<unsigned long>(code));
  return text;
}

// SetupAPI's own codes (0xE0000xxx) that the system message table may not know.
const wchar_t* setupapi_name(DWORD code) {
  switch (code) {
    case ERROR_NO_SUCH_DEVINST: return L"ERROR_NO_SUCH_DEVINST: no such device instance";
    case ERROR_NO_DRIVER_SELECTED: return L"ERROR_NO_DRIVER_SELECTED";
    case ERROR_NO_CATALOG_FOR_OEM_INF:
      return L"ERROR_NO_CATALOG_FOR_OEM_INF: the catalog the INF names is missing or does not cover the INF";
    case ERROR_NO_AUTHENTICODE_CATALOG:
      return L"ERROR_NO_AUTHENTICODE_CATALOG: no signed catalog covers the driver package";
    case ERROR_FILE_HASH_NOT_IN_CATALOG:
      return L"ERROR_FILE_HASH_NOT_IN_CATALOG: a file of the package is not the one its catalog lists";
    case ERROR_SIGNATURE_OSATTRIBUTE_MISMATCH:
      return L"ERROR_SIGNATURE_OSATTRIBUTE_MISMATCH: the catalog is not for this version of Windows";
    case ERROR_IN_WOW64: return L"ERROR_IN_WOW64: a 32-bit program cannot install drivers on 64-bit Windows";
    case ERROR_AUTHENTICODE_DISALLOWED: return L"ERROR_AUTHENTICODE_DISALLOWED";
    case ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED:
      return L"ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED: the catalog's signer is not trusted on this machine";
    case ERROR_AUTHENTICODE_PUBLISHER_NOT_TRUSTED: return L"ERROR_AUTHENTICODE_PUBLISHER_NOT_TRUSTED";
    case ERROR_GENERAL_SYNTAX: return L"ERROR_GENERAL_SYNTAX: the INF has a syntax error";
    case ERROR_SECTION_NOT_FOUND: return L"ERROR_SECTION_NOT_FOUND: a section the INF refers to is missing";
    case ERROR_INVALID_CLASS: return L"ERROR_INVALID_CLASS";
    default: return nullptr;
  }
}

}  // namespace

std::wstring describe(DWORD code) {
  if (const wchar_t* name = setupapi_name(code)) return name;
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (length != 0 && buffer != nullptr) {
    text.assign(buffer, length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
      text.pop_back();
    }
  }
  return text.empty() ? L"no description available" : text;
}

std::wstring hint(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED: return L"Run pdinstall from an elevated command prompt (Run as administrator).";
    case ERROR_IN_WOW64: return L"Use the x86_64 build of pdinstall.exe (build/images/x86_64) on 64-bit Windows.";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return L"Check the INF path; the .sys and .cat files must sit in the same directory as the INF.";
    case ERROR_NO_CATALOG_FOR_OEM_INF:
    case ERROR_NO_AUTHENTICODE_CATALOG:
      return L"The INF's catalog (<driver>_x86.cat on 32-bit Windows, <driver>_amd64.cat on 64-bit) must sit "
             L"beside it: copy the whole build/images/<arch> folder of the matching architecture, unchanged.";
    case ERROR_FILE_HASH_NOT_IN_CATALOG:
    case static_cast<DWORD>(TRUST_E_BAD_DIGEST):
      return L"The catalog holds the hashes of the INF and the .sys as built: after changing either, rebuild "
             L"with `make images` and copy the new folder.";
    case ERROR_SIGNATURE_OSATTRIBUTE_MISMATCH:
      return L"Use the folder of the architecture Windows runs: build/images/i686 on 32-bit, build/images/x86_64 "
             L"on 64-bit Windows.";
    case ERROR_AUTHENTICODE_DISALLOWED:
    case ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED:
    case ERROR_AUTHENTICODE_PUBLISHER_NOT_TRUSTED:
    case static_cast<DWORD>(TRUST_E_NOSIGNATURE):
    case static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED):
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
      return L"Import pdkit-test-signing.cer into the Trusted Root and Trusted Publishers stores of the local "
             L"machine (certutil -addstore Root / TrustedPublisher) and enable test signing (bcdedit /set "
             L"testsigning on, then restart); see docs/WINDOWS.md.";
    case ERROR_NO_SUCH_DEVINST:
      return L"The device is not (or no longer) present; `pdinstall status <hwid>` lists what exists.";
    case ERROR_GENERAL_SYNTAX:
    case ERROR_SECTION_NOT_FOUND: return L"The INF file is damaged; use the one staged with the images.";
    default: return {};
  }
}

std::wstring Win32Error::message() const {
  std::wstring text =
      call_ + L" failed: error " + std::to_wstring(code_) + L" (" + hex(code_) + L", " + describe(code_) + L")";
  if (const std::wstring what_to_do = hint(code_); !what_to_do.empty()) text += L"\n" + what_to_do;
  return text;
}

void check(BOOL ok, const wchar_t* call) {
  if (!ok) throw Win32Error(call, GetLastError());
}

}  // namespace pdinstall

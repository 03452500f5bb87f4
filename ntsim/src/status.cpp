// NTSTATUS names and Win32 errors, and the UTF-16 strings of the kernel's
// interface as host text: all from pdkit's shared text helpers.
#include "state.h"

#include "text/ntstatus_names.h"
#include "text/utf16.h"

namespace ntsim {

std::string statusName(NTSTATUS status) { return pdkit::text::statusName(static_cast<uint32_t>(status)); }

uint32_t win32ErrorOf(NTSTATUS status) {
  if (const auto* entry = pdkit::text::findStatus(static_cast<uint32_t>(status))) return entry->win32;
  // Unknown success and informational codes map to themselves on Windows;
  // unknown errors to ERROR_MR_MID_NOT_FOUND (317).
  if (NT_SUCCESS(status)) return static_cast<uint32_t>(status);
  return 317;
}

std::string narrow(const UNICODE_STRING& s) {
  if (s.Buffer == nullptr) return {};
  return pdkit::text::utf8FromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2));
}

std::u16string widen(std::string_view s) { return pdkit::text::utf16FromUtf8(s); }

}  // namespace ntsim

// Run-time library string routines.
#include "bugcheck.h"
#include "kdformat.h"
#include "state.h"

#include <ntstrsafe.h>

extern "C" {

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (DestinationString == nullptr) {
    ntsim::M().report("BAD_ARGUMENT", "RtlInitUnicodeString with a NULL destination");
    return;
  }
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    return;
  }
  // Count UTF-16 units by hand: driver strings are 16-bit even where wchar_t is not.
  const auto* units = reinterpret_cast<const uint16_t*>(SourceString);
  size_t count = 0;
  while (units[count] != 0) ++count;
  DestinationString->Length = static_cast<USHORT>(count * 2);
  DestinationString->MaximumLength = static_cast<USHORT>(count * 2 + 2);
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  size_t count = SourceString == nullptr ? 0 : strlen(SourceString);
  DestinationString->Length = static_cast<USHORT>(count);
  DestinationString->MaximumLength = static_cast<USHORT>(SourceString == nullptr ? 0 : count + 1);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  const auto* a = reinterpret_cast<const uint16_t*>(String1->Buffer);
  const auto* b = reinterpret_cast<const uint16_t*>(String2->Buffer);
  for (size_t i = 0; i < String1->Length / 2u; ++i) {
    uint16_t x = a[i], y = b[i];
    if (CaseInSensitive) {
      if (x >= 'a' && x <= 'z') x = static_cast<uint16_t>(x - 32);
      if (y >= 'a' && y <= 'z') y = static_cast<uint16_t>(y - 32);
    }
    if (x != y) return FALSE;
  }
  return TRUE;
}

namespace {

const uint16_t* unitsOf(PCUNICODE_STRING s) { return reinterpret_cast<const uint16_t*>(s->Buffer); }

// Driver strings are 16-bit units; ntsim's own wchar_t may be wider, so it never indexes a PWSTR.
void terminate(PWSTR buffer, size_t units) { reinterpret_cast<uint16_t*>(buffer)[units] = 0; }

uint16_t upcase(uint16_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint16_t>(c - 32) : c; }

NTSTATUS append(PUNICODE_STRING destination, const uint16_t* units, size_t count) {
  size_t bytes = count * 2;
  if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(reinterpret_cast<char*>(destination->Buffer) + destination->Length, units, bytes);
  destination->Length = static_cast<USHORT>(destination->Length + bytes);
  // Terminated when there is room, as Windows does.
  if (destination->Length + 2u <= destination->MaximumLength) terminate(destination->Buffer, destination->Length / 2u);
  return STATUS_SUCCESS;
}

}  // namespace

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes =
      SourceString->Length < DestinationString->MaximumLength ? SourceString->Length : DestinationString->MaximumLength;
  bytes = static_cast<USHORT>(bytes & ~1u);
  std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + 2u <= DestinationString->MaximumLength) terminate(DestinationString->Buffer, bytes / 2u);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  size_t n1 = String1->Length / 2u, n2 = String2->Length / 2u;
  const uint16_t *a = unitsOf(String1), *b = unitsOf(String2);
  for (size_t i = 0; i < n1 && i < n2; ++i) {
    uint16_t x = CaseInSensitive ? upcase(a[i]) : a[i], y = CaseInSensitive ? upcase(b[i]) : b[i];
    if (x != y) return static_cast<LONG>(x) - static_cast<LONG>(y);
  }
  return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  const auto* units = reinterpret_cast<const uint16_t*>(Source);
  size_t count = 0;
  while (units[count] != 0) ++count;
  return append(Destination, units, count);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  return append(Destination, unitsOf(Source), Source->Length / 2u);
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString == nullptr || UnicodeString->Buffer == nullptr) return;
  ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) { return static_cast<WCHAR>(upcase(SourceCharacter)); }

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char digits[40];
  int count = 0;
  do {
    digits[count++] = "0123456789ABCDEF"[Value % Base];
    Value /= Base;
  } while (Value != 0);
  uint16_t units[40];
  for (int i = 0; i < count; ++i) units[i] = static_cast<uint16_t>(digits[count - 1 - i]);
  String->Length = 0;
  return append(String, units, static_cast<size_t>(count));
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  const uint16_t* units = unitsOf(String);
  size_t n = String->Length / 2u, i = 0;
  while (i < n && (units[i] == ' ' || units[i] == '\t')) ++i;
  bool negative = false;
  if (i < n && (units[i] == '-' || units[i] == '+')) negative = units[i++] == '-';
  if (Base == 0) {
    Base = 10;
    if (i + 1 < n && units[i] == '0') {
      uint16_t prefix = upcase(units[i + 1]);
      if (prefix == 'X')
        Base = 16;
      else if (prefix == 'O')
        Base = 8;
      else if (prefix == 'B')
        Base = 2;
      if (Base != 10) i += 2;
    }
  } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG result = 0;
  for (; i < n; ++i) {
    uint16_t c = upcase(units[i]);
    ULONG digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
    if (digit >= Base) break;
    result = result * Base + digit;
  }
  *Value = negative ? 0u - result : result;
  return STATUS_SUCCESS;
}

SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
  const auto *a = static_cast<const uint8_t*>(Source1), *b = static_cast<const uint8_t*>(Source2);
  SIZE_T same = 0;
  while (same < Length && a[same] == b[same]) ++same;
  return same;
}

// The safe printf forms: the kernel's format, truncated with STATUS_BUFFER_OVERFLOW.
NTSTATUS RtlStringCbVPrintfA(PSTR Destination, size_t cbDest, PCSTR Format, va_list Arguments) {
  if (Destination == nullptr || cbDest == 0 || cbDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  ntsim::VaListArguments arguments(Arguments);
  std::string text = ntsim::formatKernel(Format, arguments);
  size_t count = text.size() < cbDest ? text.size() : cbDest - 1;
  std::memcpy(Destination, text.data(), count);
  Destination[count] = 0;
  return count == text.size() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS RtlStringCbPrintfA(PSTR Destination, size_t cbDest, PCSTR Format, ...) {
  va_list arguments;
  va_start(arguments, Format);
  NTSTATUS status = RtlStringCbVPrintfA(Destination, cbDest, Format, arguments);
  va_end(arguments);
  return status;
}

NTSTATUS RtlStringCbVPrintfW(PWSTR Destination, size_t cbDest, PCWSTR Format, va_list Arguments) {
  size_t cch = cbDest / 2;
  if (Destination == nullptr || cch == 0 || cch > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  // The wide format, narrowed, with %s and %S swapped: in a wide printf %s is the wide string.
  std::string format;
  const auto* units = reinterpret_cast<const uint16_t*>(Format);
  bool inConversion = false;
  for (size_t i = 0; units[i] != 0; ++i) {
    char c = units[i] < 0x80 ? static_cast<char>(units[i]) : '?';
    if (inConversion && (c == 's' || c == 'S') && format.back() != 'w' && format.back() != 'h' &&
        format.back() != 'l') {
      c = c == 's' ? 'S' : 's';
    }
    if (c == '%')
      inConversion = !inConversion || format.back() != '%';
    else if (inConversion && std::strchr("diouxXcCsSpZ", c) != nullptr)
      inConversion = false;
    format.push_back(c);
  }
  ntsim::VaListArguments arguments(Arguments);
  // Narrow characters widen one to one, as the kernel widens ANSI text.
  std::string formatted = ntsim::formatKernel(format.c_str(), arguments);
  std::u16string text;
  for (unsigned char c : formatted) text.push_back(c);
  size_t count = text.size() < cch ? text.size() : cch - 1;
  std::memcpy(Destination, text.data(), count * 2);
  terminate(Destination, count);
  return count == text.size() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS RtlStringCbPrintfW(PWSTR Destination, size_t cbDest, PCWSTR Format, ...) {
  va_list arguments;
  va_start(arguments, Format);
  NTSTATUS status = RtlStringCbVPrintfW(Destination, cbDest, Format, arguments);
  va_end(arguments);
  return status;
}

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  auto& s = ntsim::M();
  const ULONG_PTR parameters[4] = {P1, P2, P3, P4};
  auto caller = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  ntsim::bugCheck(s, BugCheckCode, parameters, ntsim::symbolize(s, caller).value_or(ntsim::hex(caller)));
}

}  // extern "C"

// Run-time library string routines.
#include "bugcheck.h"
#include "state.h"

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

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  auto& s = ntsim::M();
  const ULONG_PTR parameters[4] = {P1, P2, P3, P4};
  auto caller = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  ntsim::bugCheck(s, BugCheckCode, parameters, ntsim::symbolize(s, caller).value_or(ntsim::hex(caller)));
}

}  // extern "C"

/*
 * ntstrsafe.h - the kernel's safe string routines for ntsim.
 *
 * Every routine terminates the destination when it has any room, truncates
 * with STATUS_BUFFER_OVERFLOW, and refuses a zero or oversized destination
 * with STATUS_INVALID_PARAMETER, as the DDK's do. Wide strings are 16-bit
 * (WCHAR), whatever the host's wchar_t. The printf forms take the kernel's
 * format (%ws, %wZ, %S ...); in the wide forms %s is a wide string and %S a
 * narrow one, as in the DDK.
 */
#ifndef NTSIM_NTSTRSAFE_H
#define NTSIM_NTSTRSAFE_H

#include <stdarg.h>

#include "wdm.h"

#define NTSTRSAFE_MAX_CCH 2147483647

NTSIM_BEGIN_C
NTSTATUS RtlStringCbPrintfA(PSTR Destination, size_t cbDest, PCSTR Format, ...);
NTSTATUS RtlStringCbPrintfW(PWSTR Destination, size_t cbDest, PCWSTR Format, ...);
NTSTATUS RtlStringCbVPrintfA(PSTR Destination, size_t cbDest, PCSTR Format, va_list Arguments);
NTSTATUS RtlStringCbVPrintfW(PWSTR Destination, size_t cbDest, PCWSTR Format, va_list Arguments);
NTSIM_END_C

#define NTSIM_STRSAFE_COPY(Name, Char)                                                \
  FORCEINLINE NTSTATUS Name(Char* Destination, size_t cchDest, const Char* Source) {  \
    size_t i = 0;                                                                     \
    if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER; \
    for (; i + 1 < cchDest && Source[i] != 0; ++i) Destination[i] = Source[i];        \
    Destination[i] = 0;                                                               \
    return Source[i] == 0 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;                  \
  }
#define NTSIM_STRSAFE_LENGTH(Name, Char)                                             \
  FORCEINLINE NTSTATUS Name(const Char* String, size_t cchMax, size_t* pcchLength) { \
    size_t i = 0;                                                                    \
    if (String == NULL || cchMax == 0 || cchMax > NTSTRSAFE_MAX_CCH) {               \
      if (pcchLength != NULL) *pcchLength = 0;                                       \
      return STATUS_INVALID_PARAMETER;                                               \
    }                                                                                \
    while (i < cchMax && String[i] != 0) ++i;                                        \
    if (pcchLength != NULL) *pcchLength = i < cchMax ? i : 0;                        \
    return i < cchMax ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;                   \
  }

NTSIM_STRSAFE_COPY(RtlStringCchCopyA, CHAR)
NTSIM_STRSAFE_COPY(RtlStringCchCopyW, WCHAR)
NTSIM_STRSAFE_LENGTH(RtlStringCchLengthA, CHAR)
NTSIM_STRSAFE_LENGTH(RtlStringCchLengthW, WCHAR)

FORCEINLINE NTSTATUS RtlStringCchCatA(PSTR Destination, size_t cchDest, PCSTR Source) {
  size_t used;
  if (!NT_SUCCESS(RtlStringCchLengthA(Destination, cchDest, &used))) return STATUS_INVALID_PARAMETER;
  return RtlStringCchCopyA(Destination + used, cchDest - used, Source);
}
FORCEINLINE NTSTATUS RtlStringCchCatW(PWSTR Destination, size_t cchDest, PCWSTR Source) {
  size_t used;
  if (!NT_SUCCESS(RtlStringCchLengthW(Destination, cchDest, &used))) return STATUS_INVALID_PARAMETER;
  return RtlStringCchCopyW(Destination + used, cchDest - used, Source);
}

#define RtlStringCbCopyA(d, cb, s) RtlStringCchCopyA((d), (cb), (s))
#define RtlStringCbCopyW(d, cb, s) RtlStringCchCopyW((d), (cb) / sizeof(WCHAR), (s))
#define RtlStringCbCatA(d, cb, s) RtlStringCchCatA((d), (cb), (s))
#define RtlStringCbCatW(d, cb, s) RtlStringCchCatW((d), (cb) / sizeof(WCHAR), (s))

FORCEINLINE NTSTATUS RtlStringCbLengthA(PCSTR String, size_t cbMax, size_t* pcbLength) {
  return RtlStringCchLengthA(String, cbMax, pcbLength);
}
FORCEINLINE NTSTATUS RtlStringCbLengthW(PCWSTR String, size_t cbMax, size_t* pcbLength) {
  NTSTATUS Status = RtlStringCchLengthW(String, cbMax / sizeof(WCHAR), pcbLength);
  if (pcbLength != NULL) *pcbLength *= sizeof(WCHAR);
  return Status;
}

#define RtlStringCchPrintfA(d, cch, ...) RtlStringCbPrintfA((d), (cch), __VA_ARGS__)
#define RtlStringCchPrintfW(d, cch, ...) RtlStringCbPrintfW((d), (cch) * sizeof(WCHAR), __VA_ARGS__)

/* A counted string from another, within the destination's MaximumLength. */
FORCEINLINE NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  USHORT Bytes = SourceString->Length;
  NTSTATUS Status = STATUS_SUCCESS;
  if (Bytes > DestinationString->MaximumLength) {
    Bytes = (USHORT)(DestinationString->MaximumLength & ~1u);
    Status = STATUS_BUFFER_OVERFLOW;
  }
  memmove(DestinationString->Buffer, SourceString->Buffer, Bytes);
  DestinationString->Length = Bytes;
  return Status;
}

#endif /* NTSIM_NTSTRSAFE_H */

// In-process test drivers: a driver object from the machine, devices made
// with IoCreateDevice and stacked with IoAttachDeviceToDeviceStack, and
// small helpers for the strings and IRPs such tests build.
#pragma once

#include "ntsim_test.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace pdkit::test {

// A UNICODE_STRING over a UTF-16 literal (tests are not built with -fshort-wchar).
inline UNICODE_STRING unicode(std::u16string_view text) {
  UNICODE_STRING s;
  s.Length = static_cast<USHORT>(text.size() * 2);
  s.MaximumLength = s.Length;
  s.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(text.data()));
  return s;
}

inline std::u16string utf16(const UNICODE_STRING& s) {
  if (s.Buffer == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2);
}

// ntsim's way of naming an address in a verifier report.
inline std::string hexAddress(const void* address) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
  return text;
}

// Creates a device of `driver` whose extension holds one pointer (set to
// `context`), optionally named, attached on top of `below` when given.
// Clears DO_DEVICE_INITIALIZING as AddDevice does.
inline PDEVICE_OBJECT makeDevice(PDRIVER_OBJECT driver, void* context, const char16_t* name = nullptr,
                                 PDEVICE_OBJECT below = nullptr, ULONG flags = 0) {
  UNICODE_STRING deviceName = name != nullptr ? unicode(name) : UNICODE_STRING{};
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(void*), name != nullptr ? &deviceName : nullptr, FILE_DEVICE_UNKNOWN,
                                   0, FALSE, &device);
  EXPECT_EQ(status, STATUS_SUCCESS);
  if (device == nullptr) return nullptr;
  *static_cast<void**>(device->DeviceExtension) = context;
  if (below != nullptr) {
    EXPECT_NE(IoAttachDeviceToDeviceStack(device, below), nullptr);
  }
  device->Flags |= flags;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

// A dispatch routine that completes every request it gets with STATUS_SUCCESS.
inline NTSTATUS succeed(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// A due time or timeout `ms` milliseconds from now, as the kernel takes one
// (negative: relative, in 100 ns units).
inline LARGE_INTEGER relativeMs(LONGLONG ms) {
  LARGE_INTEGER due;
  due.QuadPart = -ms * 10000;
  return due;
}

template <typename T>
T* contextOf(PDEVICE_OBJECT device) {
  return *static_cast<T**>(device->DeviceExtension);
}

// The rules reported so far, each with its detail.
inline std::vector<ntsim::Violation> violationsOf(const ntsim::Machine& machine, std::string_view rule) {
  std::vector<ntsim::Violation> found;
  for (const auto& violation : machine.violations()) {
    if (violation.rule == rule) found.push_back(violation);
  }
  return found;
}

}  // namespace pdkit::test

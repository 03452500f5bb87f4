// The shared text helpers: the status table agrees with the kernel's header
// both ways, UTF-16 and UTF-8 convert into each other with U+FFFD for what
// is malformed, and hex reads as the messages and outputs write it.
#include "text/hex.h"
#include "text/ntstatus_names.h"
#include "text/utf16.h"

#include <wdm.h>

#include <gtest/gtest.h>

namespace {

using namespace pdkit::text;

TEST(StatusNames, EveryNameHasTheKernelHeadersValueBothWays) {
// clang-format off
#define STATUS_ENTRY(name) {static_cast<uint32_t>(name), #name}
  const std::pair<uint32_t, std::string_view> kernel[] = {
      STATUS_ENTRY(STATUS_SUCCESS), STATUS_ENTRY(STATUS_WAIT_1), STATUS_ENTRY(STATUS_ABANDONED),
      STATUS_ENTRY(STATUS_ALERTED), STATUS_ENTRY(STATUS_TIMEOUT), STATUS_ENTRY(STATUS_PENDING),
      STATUS_ENTRY(STATUS_BUFFER_OVERFLOW), STATUS_ENTRY(STATUS_DEVICE_BUSY), STATUS_ENTRY(STATUS_VERIFY_REQUIRED),
      STATUS_ENTRY(STATUS_NO_MORE_ENTRIES), STATUS_ENTRY(STATUS_PLUGPLAY_QUERY_VETOED),
      STATUS_ENTRY(STATUS_UNSUCCESSFUL), STATUS_ENTRY(STATUS_NOT_IMPLEMENTED),
      STATUS_ENTRY(STATUS_INFO_LENGTH_MISMATCH), STATUS_ENTRY(STATUS_ACCESS_VIOLATION),
      STATUS_ENTRY(STATUS_INVALID_HANDLE), STATUS_ENTRY(STATUS_INVALID_PARAMETER), STATUS_ENTRY(STATUS_NO_SUCH_DEVICE),
      STATUS_ENTRY(STATUS_NO_SUCH_FILE), STATUS_ENTRY(STATUS_INVALID_DEVICE_REQUEST), STATUS_ENTRY(STATUS_END_OF_FILE),
      STATUS_ENTRY(STATUS_NO_MEDIA_IN_DEVICE), STATUS_ENTRY(STATUS_MORE_PROCESSING_REQUIRED),
      STATUS_ENTRY(STATUS_NO_MEMORY), STATUS_ENTRY(STATUS_ILLEGAL_INSTRUCTION), STATUS_ENTRY(STATUS_ACCESS_DENIED),
      STATUS_ENTRY(STATUS_BUFFER_TOO_SMALL), STATUS_ENTRY(STATUS_NOT_LOCKED),
      STATUS_ENTRY(STATUS_INVALID_PARAMETER_MIX), STATUS_ENTRY(STATUS_OBJECT_NAME_INVALID),
      STATUS_ENTRY(STATUS_OBJECT_NAME_NOT_FOUND), STATUS_ENTRY(STATUS_OBJECT_NAME_COLLISION),
      STATUS_ENTRY(STATUS_OBJECT_PATH_NOT_FOUND), STATUS_ENTRY(STATUS_OBJECT_PATH_SYNTAX_BAD),
      STATUS_ENTRY(STATUS_SHARING_VIOLATION), STATUS_ENTRY(STATUS_MUTANT_NOT_OWNED),
      STATUS_ENTRY(STATUS_DELETE_PENDING), STATUS_ENTRY(STATUS_PRIVILEGE_NOT_HELD), STATUS_ENTRY(STATUS_DISK_FULL),
      STATUS_ENTRY(STATUS_INTEGER_DIVIDE_BY_ZERO), STATUS_ENTRY(STATUS_INSUFFICIENT_RESOURCES),
      STATUS_ENTRY(STATUS_DEVICE_DATA_ERROR), STATUS_ENTRY(STATUS_DEVICE_NOT_CONNECTED),
      STATUS_ENTRY(STATUS_MEDIA_WRITE_PROTECTED), STATUS_ENTRY(STATUS_DEVICE_NOT_READY),
      STATUS_ENTRY(STATUS_IO_TIMEOUT), STATUS_ENTRY(STATUS_NOT_SUPPORTED), STATUS_ENTRY(STATUS_INVALID_USER_BUFFER),
      STATUS_ENTRY(STATUS_INVALID_PARAMETER_1), STATUS_ENTRY(STATUS_INVALID_PARAMETER_2),
      STATUS_ENTRY(STATUS_INVALID_PARAMETER_3), STATUS_ENTRY(STATUS_CANCELLED),
      STATUS_ENTRY(STATUS_INVALID_DEVICE_STATE), STATUS_ENTRY(STATUS_IO_DEVICE_ERROR),
      STATUS_ENTRY(STATUS_INVALID_BUFFER_SIZE), STATUS_ENTRY(STATUS_NOT_FOUND), STATUS_ENTRY(STATUS_RETRY),
      STATUS_ENTRY(STATUS_REQUEST_ABORTED), STATUS_ENTRY(STATUS_DEVICE_REMOVED),
      STATUS_ENTRY(STATUS_POWER_STATE_INVALID),
  };
#undef STATUS_ENTRY
  // clang-format on
  for (const auto& [value, name] : kernel) {
    SCOPED_TRACE(name);
    EXPECT_EQ(statusName(value), name);
    const StatusEntry* byName = findStatusNamed(name);
    ASSERT_NE(byName, nullptr);
    EXPECT_EQ(byName->value, value);
  }
  // Without the prefix and in any case, as pdctl's users type them.
  ASSERT_NE(findStatusNamed("insufficient_resources"), nullptr);
  EXPECT_EQ(findStatusNamed("insufficient_resources")->value, 0xC000009Au);
  EXPECT_EQ(findStatusNamed("STATUS_NO_SUCH_STATUS"), nullptr);
  EXPECT_EQ(statusName(0xC0001234), "0xC0001234");
}

TEST(Utf16, ConvertsBothWaysAndReplacesWhatIsMalformed) {
  struct Case {
    std::u16string utf16;
    std::string utf8;
  };
  // Well-formed text, up to a pair of surrogates, survives both directions.
  const Case wellFormed[] = {{u"", ""}, {u"A\u00e9\u20ac\U0001F600", "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"}};
  for (const auto& c : wellFormed) {
    EXPECT_EQ(utf8FromUtf16(c.utf16), c.utf8);
    EXPECT_EQ(utf16FromUtf8(c.utf8), c.utf16);
  }
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(utf8FromUtf16(u"\xD800"), replacement);  // a high surrogate at the end
  EXPECT_EQ(utf8FromUtf16(u"\xD800"
                          u"A"),
            replacement + "A");  // ... before something else
  EXPECT_EQ(utf8FromUtf16(u"\xDC00"
                          u"A"),
            replacement + "A");  // a low surrogate alone
  // Overlong, a surrogate's encoding, past U+10FFFF, cut short: one U+FFFD per byte that starts nothing.
  const std::pair<std::string, std::u16string> malformed[] = {
      {"\xC0\xAF", u"\uFFFD\uFFFD"},
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"A\xE2\x82", u"A\uFFFD\uFFFD"},
  };
  for (const auto& [utf8, utf16] : malformed) EXPECT_EQ(utf16FromUtf8(utf8), utf16) << utf8;
  // A driver's reply: little-endian units, an odd last byte left out.
  const uint8_t reply[] = {'A', 0, 0xAC, 0x20, 'B'};
  EXPECT_EQ(utf8FromUtf16Le(reply), "A\xE2\x82\xAC");
}

TEST(Hex, WritesAddressesShortStatusesAtFullWidthAndBytesAsTwoDigits) {
  EXPECT_EQ(hex(0x2a), "0x2a");
  EXPECT_EQ(hex(0xffff800012345678ull), "0xffff800012345678");
  EXPECT_EQ(hex32(0xC000009A), "0xC000009A");
  EXPECT_EQ(hex32(0x2a), "0x0000002A");
  std::string bytes;
  appendHexByte(bytes, 0x0F);
  appendHexByte(bytes, 0xA0);
  EXPECT_EQ(bytes, "0fa0");
}

}  // namespace

// What sets the three drivers apart, as the fuzz targets and the reference
// model see them from outside.
#pragma once

#include <string_view>

namespace pdkit::fuzz {

struct DriverTraits {
  std::string_view module;          // build/<preset>/drivers/<module>.so
  std::string_view deviceName;      // opened as \\.\<deviceName>
  bool hasStore;                    // reads and writes reach a 1024-byte store
  bool directIo;                    // the store is reached through the caller's MDL (mapping may fail)
  std::u16string_view description;  // the reply of IOCTL_GET_DESCRIPTION, the drivers' published text
};

inline constexpr DriverTraits kTavrinTraits{"tavrin", "TAVRINDEV", true, true,
                                            u"Tavrin direct I/O driver for the TAVRINDEV pseudo device\r\n"
                                            u"Written by the pdkit team, 2026-12-08\r\n"};

inline constexpr DriverTraits kKelvaneTraits{"kelvane", "KELVANEDEV", true, false,
                                             u"Kelvane buffered I/O driver for the KELVANEDEV pseudo device\r\n"
                                             u"Written by the pdkit team, 2026-12-08\r\n"};

inline constexpr DriverTraits kOstrelTraits{"ostrel", "OSTRELDEV", false, false,
                                            u"Ostrel control-code driver for the OSTRELDEV pseudo device\r\n"
                                            u"Written by the pdkit team, 2026-12-08\r\n"};

}  // namespace pdkit::fuzz

// The Windows programs staged with the drivers (pdinstall.exe and any
// other tool) run on a plain Windows installation.
#include <algorithm>
#include <gtest/gtest.h>
#include <set>

#include "image_set.h"
#include "peinfo/hex.h"
#include "peinfo/pe_checksum.h"
#include "peinfo/pe_image.h"
#include "peinfo/utf16.h"

namespace pdkit::images {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// DLLs that ship with every Windows the tools support. The compiler's own
// runtime DLLs (libstdc++-6.dll, libgcc_s_*.dll, libwinpthread-1.dll) are
// not among them: the programs link those statically.
const std::set<std::string> system_dlls = {
    "kernel32.dll", "user32.dll",  "advapi32.dll", "msvcrt.dll",   "setupapi.dll", "newdev.dll", "cfgmgr32.dll",
    "ntdll.dll",    "shell32.dll", "ole32.dll",    "oleaut32.dll", "version.dll",  "gdi32.dll",  "shlwapi.dll"};

std::vector<fs::path> programs(const Arch& arch) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(arch_dir(arch))) {
    if (entry.path().extension() == ".exe") found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

class Programs : public ::testing::TestWithParam<Arch> {
 protected:
  void SetUp() override {
    if (auto why = why_not_built(GetParam())) GTEST_SKIP() << *why;
  }
};

TEST_P(Programs, PdinstallIsStaged) {
  if (!fs::exists(source_root() / "tools/pdinstall/CMakeLists.txt")) GTEST_SKIP() << "pdinstall has no sources";
  EXPECT_TRUE(fs::exists(arch_dir(GetParam()) / "pdinstall.exe"))
      << "pdinstall.exe is missing from " << arch_dir(GetParam()) << ": run `cmake --preset mingw-" << GetParam().name
      << "`, then `make images`";
}

TEST_P(Programs, AreConsoleProgramsForTheirMachine) {
  const auto all = programs(GetParam());
  if (all.empty()) GTEST_SKIP() << "no programs staged";
  for (const auto& path : all) {
    const auto image = peinfo::PeImage::load(path);
    EXPECT_EQ(image.machine(), GetParam().machine) << path;
    EXPECT_EQ(image.subsystem(), peinfo::subsystem::windows_cui) << path;
    EXPECT_NE(image.dll_characteristics() & peinfo::dll_flags::dynamic_base, 0) << path;
    EXPECT_NE(image.dll_characteristics() & peinfo::dll_flags::nx_compat, 0) << path;
    EXPECT_EQ(image.stored_checksum(), peinfo::compute_pe_checksum(image.bytes(), image.checksum_offset())) << path;
    for (const auto& s : image.sections()) {
      EXPECT_FALSE(s.writable() && s.executable()) << path << ": " << s.name << " is writable and executable";
    }
  }
}

TEST_P(Programs, ImportOnlyDllsThatShipWithWindows) {
  const auto all = programs(GetParam());
  if (all.empty()) GTEST_SKIP() << "no programs staged";
  for (const auto& path : all) {
    for (const auto& dll : peinfo::PeImage::load(path).imports()) {
      EXPECT_TRUE(system_dlls.contains(lower(dll.name)))
          << path.filename() << " imports " << dll.name
          << ", which a Windows machine does not have: link it statically";
    }
  }
}

TEST_P(Programs, PdinstallUsesSetupApiAndAsksForNoElevation) {
  const fs::path path = arch_dir(GetParam()) / "pdinstall.exe";
  if (!fs::exists(path)) GTEST_SKIP() << "pdinstall.exe not staged";
  const auto image = peinfo::PeImage::load(path);
  std::set<std::string> routines;
  for (const auto& dll : image.imports()) {
    for (const auto& r : dll.routines) routines.insert(r.name);
  }
  for (const char* r : {"SetupDiCreateDeviceInfoW", "SetupDiSetDeviceRegistryPropertyW", "SetupDiCallClassInstaller",
                        "UpdateDriverForPlugAndPlayDevicesW", "SetupDiGetClassDevsW"}) {
    EXPECT_TRUE(routines.contains(r)) << "pdinstall.exe does not call " << r;
  }
  // Without a manifest, Windows guesses from the name "pdinstall" that it is
  // an installer and demands elevation even for `pdinstall status`.
  std::string manifest;
  for (const auto& res : image.resources()) {
    if (res.type_id != peinfo::resource_type::manifest) continue;
    const auto bytes = image.at_rva(res.rva, res.size, "manifest");
    manifest.assign(bytes.begin(), bytes.end());
  }
  ASSERT_FALSE(manifest.empty()) << "pdinstall.exe has no application manifest";
  EXPECT_NE(manifest.find("requestedExecutionLevel"), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("asInvoker"), std::string::npos) << manifest;
}

INSTANTIATE_TEST_SUITE_P(Staged, Programs, ::testing::ValuesIn(architectures()),
                         [](const ::testing::TestParamInfo<Arch>& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace pdkit::images

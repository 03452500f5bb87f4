// The install files: each installs its driver as a root-enumerated device
// on x86 and x64 with a device security descriptor that admits only SYSTEM
// and Administrators, from the driver store on Windows 10 1709 and later and
// into System32\drivers before, and names its catalog per architecture.
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sstream>

#include "inf_file.h"

namespace pdkit::images {
namespace {

namespace fs = std::filesystem;

const std::string secure_sddl = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
constexpr const char* system_class_guid = "{4d36e97d-e325-11ce-bfc1-08002be10318}";

struct InfCase {
  std::string driver;  // image name
  std::string hwid;
};

void PrintTo(const InfCase& c, std::ostream* out) { *out << c.driver; }

const std::vector<InfCase>& inf_cases() {
  static const std::vector<InfCase> all = {
      {"tavrin", "Root\\TAVRINDEV"}, {"kelvane", "Root\\KELVANEDEV"}, {"ostrel", "Root\\OSTRELDEV"}};
  return all;
}

fs::path inf_path(const std::string& driver) { return fs::path(PDKIT_SOURCE_DIR) / "install" / (driver + ".inf"); }

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool same_text(const std::string& a, const std::string& b) { return lowercase(a) == lowercase(b); }

// The models decorations SetupAPI chooses from, each with the directory the
// driver must go to: the driver store (DIRID 13) from Windows 10 1709
// (build 16299) on, System32\drivers (DIRID 12) before.
struct Platform {
  std::string decoration;
  std::string architecture;  // NTx86, NTamd64
  std::string dirid;
};

const std::vector<Platform>& platforms() {
  static const std::vector<Platform> all = {
      {"NTx86", "NTx86", "12"},
      {"NTamd64", "NTamd64", "12"},
      {"NTx86.10.0...16299", "NTx86", "13"},
      {"NTamd64.10.0...16299", "NTamd64", "13"},
  };
  return all;
}

const Platform& platform_of(const std::string& decoration) {
  for (const auto& p : platforms()) {
    if (p.decoration == decoration) return p;
  }
  throw std::logic_error("unknown decoration " + decoration);
}

// The install section SetupAPI picks on `platform`: the architecture-decorated
// one, else .NT, else the undecorated name.
std::optional<std::string> ddinstall(const InfFile& inf, const std::string& install, const std::string& platform) {
  const std::string architecture = platform_of(platform).architecture;
  for (const std::string& candidate : {install + "." + architecture, install + ".NT", install}) {
    if (inf.has_section(candidate)) return candidate;
  }
  return std::nullopt;
}

// The install section each platform's model line names for `hwid`.
std::map<std::string, std::string> install_sections(const InfFile& inf, const std::string& hwid,
                                                    std::vector<std::string>& problems) {
  std::map<std::string, std::string> found;
  const auto& manufacturer = inf.lines("Manufacturer");
  if (manufacturer.size() != 1 || manufacturer[0].values.empty()) {
    problems.push_back("[Manufacturer] must name exactly one models section");
    return found;
  }
  const auto& values = manufacturer[0].values;
  const std::set<std::string> decorations(values.begin() + 1, values.end());
  for (const auto& [platform, architecture, dirid] : platforms()) {
    bool decorated = false;
    for (const auto& d : decorations) decorated |= same_text(d, platform);
    if (!decorated) {
      problems.push_back("[Manufacturer] lacks the " + platform + " decoration");
      continue;
    }
    const std::string models = values[0] + "." + platform;
    if (!inf.has_section(models)) {
      problems.push_back("no [" + models + "] section");
      continue;
    }
    for (const auto& line : inf.lines(models)) {
      if (line.values.size() >= 2 && same_text(line.values[1], hwid)) {
        if (line.key.empty()) problems.push_back("[" + models + "] gives no device description");
        found[platform] = line.values[0];
      }
    }
    if (!found.contains(platform)) problems.push_back("[" + models + "] does not list " + hwid);
  }
  return found;
}

// What is wrong with the device security the INF installs for `platform`.
std::vector<std::string> security_problems(const InfFile& inf, const std::string& install_section) {
  std::vector<std::string> problems;
  const auto addreg = inf.find(install_section + ".HW", "AddReg");
  if (!addreg) return {"[" + install_section + ".HW] has no AddReg: the device keeps the class default security"};
  int security_lines = 0;
  bool secure_open = false;
  for (const auto& section : *addreg) {
    if (!inf.has_section(section)) problems.push_back("AddReg names a missing section [" + section + "]");
    for (const auto& line : inf.lines(section)) {
      const auto& v = line.values;
      if (v.size() < 3 || !same_text(v[0], "HKR") || !v[1].empty()) continue;
      if (same_text(v[2], "Security")) {
        ++security_lines;
        if (v.size() != 5 || v[4] != secure_sddl) {
          problems.push_back("the device security is \"" + (v.size() > 4 ? v[4] : std::string()) + "\", expected \"" +
                             secure_sddl + "\"");
        }
      } else if (same_text(v[2], "DeviceCharacteristics") && v.size() == 5) {
        secure_open = (std::stoul(v[4], nullptr, 0) & 0x100) != 0;
      }
    }
  }
  if (security_lines != 1) {
    problems.push_back(std::to_string(security_lines) + " HKR,,Security lines, expected exactly one");
  }
  if (!secure_open) problems.push_back("DeviceCharacteristics does not set FILE_DEVICE_SECURE_OPEN (0x100)");
  return problems;
}

std::string joined(const std::vector<std::string>& problems) {
  std::string text;
  for (const auto& p : problems) text += "\n  " + p;
  return text;
}

class Inf : public ::testing::TestWithParam<InfCase> {
 protected:
  void SetUp() override { inf_.emplace(InfFile::load(inf_path(GetParam().driver))); }
  const InfFile& inf() const { return *inf_; }
  std::optional<InfFile> inf_;
};

TEST_P(Inf, DeclaresAnNtDriverPackageOfTheProjectVersion) {
  EXPECT_TRUE(same_text(inf().value("Version", "Signature").value_or(""), "$WINDOWS NT$"));
  EXPECT_EQ(inf().value("Version", "Class"), "System");
  EXPECT_TRUE(same_text(inf().value("Version", "ClassGuid").value_or(""), system_class_guid));
  EXPECT_FALSE(inf().value("Version", "Provider").value_or("").empty());
  EXPECT_EQ(inf().value("Version", "PnpLockdown"), "1") << "InfVerif asks that only the installer write the files";
  const auto driver_ver = inf().find("Version", "DriverVer");
  ASSERT_TRUE(driver_ver.has_value() && driver_ver->size() == 2) << "DriverVer = mm/dd/yyyy,version";
  EXPECT_TRUE(std::regex_match((*driver_ver)[0], std::regex(R"((0[1-9]|1[0-2])/(0[1-9]|[12][0-9]|3[01])/20[0-9]{2})")))
      << (*driver_ver)[0];
  EXPECT_EQ((*driver_ver)[1], "1.0.0.1");
}

TEST_P(Inf, ListsTheRootEnumeratedDeviceForX86AndX64) {
  std::vector<std::string> problems;
  const auto sections = install_sections(inf(), GetParam().hwid, problems);
  EXPECT_TRUE(problems.empty()) << joined(problems);
  EXPECT_EQ(sections.size(), platforms().size());
}

TEST_P(Inf, NamesTheCatalogOfEachArchitecture) {
  EXPECT_EQ(inf().value("Version", "CatalogFile.NTx86"), GetParam().driver + "_x86.cat");
  EXPECT_EQ(inf().value("Version", "CatalogFile.NTamd64"), GetParam().driver + "_amd64.cat");
  EXPECT_FALSE(inf().value("Version", "CatalogFile").has_value()) << "one catalog per architecture, decorated";
}

TEST_P(Inf, CopiesTheDriverToTheStoreFrom1709AndToTheDriversDirectoryBefore) {
  std::vector<std::string> problems;
  const std::string sys = GetParam().driver + ".sys";
  for (const auto& [platform, install] : install_sections(inf(), GetParam().hwid, problems)) {
    const auto section = ddinstall(inf(), install, platform);
    ASSERT_TRUE(section.has_value()) << "no install section " << install << " for " << platform;
    const auto copy = inf().find(*section, "CopyFiles");
    ASSERT_TRUE(copy.has_value()) << "[" << *section << "] copies no files";
    bool copied = false;
    for (const auto& list : *copy) {
      for (const auto& line : inf().lines(list)) copied |= !line.values.empty() && same_text(line.values[0], sys);
      const auto dest =
          inf()
              .find("DestinationDirs", list)
              .value_or(inf().find("DestinationDirs", "DefaultDestDir").value_or(std::vector<std::string>{}));
      EXPECT_EQ(dest, std::vector<std::string>{platform_of(platform).dirid})
          << "on " << platform << " the files of [" << list << "] go to the wrong directory";
    }
    EXPECT_TRUE(copied) << "[" << *section << "] does not copy " << sys;
  }
  EXPECT_TRUE(problems.empty()) << joined(problems);
  const auto disk = inf().find("SourceDisksFiles", sys);
  ASSERT_TRUE(disk.has_value()) << sys << " missing from [SourceDisksFiles]";
  EXPECT_TRUE(inf().find("SourceDisksNames", disk->at(0)).has_value()) << "disk " << disk->at(0) << " undefined";
}

TEST_P(Inf, AdmitsOnlySystemAndAdministratorsToTheDevice) {
  std::vector<std::string> problems;
  for (const auto& [platform, install] : install_sections(inf(), GetParam().hwid, problems)) {
    const auto section = ddinstall(inf(), install, platform);
    ASSERT_TRUE(section.has_value());
    const auto found = security_problems(inf(), *section);
    problems.insert(problems.end(), found.begin(), found.end());
  }
  EXPECT_TRUE(problems.empty()) << joined(problems);
}

TEST_P(Inf, InstallsTheDriverAsTheDevicesDemandStartKernelService) {
  std::vector<std::string> problems;
  for (const auto& [platform, install] : install_sections(inf(), GetParam().hwid, problems)) {
    const auto section = ddinstall(inf(), install, platform);
    ASSERT_TRUE(section.has_value());
    const auto add = inf().find(*section + ".Services", "AddService");
    ASSERT_TRUE(add.has_value() && add->size() >= 3) << "[" << *section << ".Services] adds no service";
    EXPECT_NE(std::stoul(add->at(1), nullptr, 0) & 0x2, 0u) << "SPSVCINST_ASSOCSERVICE not set";
    const std::string service = add->at(2);
    EXPECT_EQ(inf().value(service, "ServiceType"), "1") << "SERVICE_KERNEL_DRIVER";
    EXPECT_EQ(inf().value(service, "StartType"), "3") << "SERVICE_DEMAND_START";
    EXPECT_EQ(inf().value(service, "ErrorControl"), "1") << "SERVICE_ERROR_NORMAL";
    const std::string binary = "%" + platform_of(platform).dirid + "%\\" + GetParam().driver + ".sys";
    EXPECT_TRUE(same_text(inf().value(service, "ServiceBinary").value_or(""), binary))
        << platform << ": " << inf().value(service, "ServiceBinary").value_or("(none)") << ", expected " << binary;
  }
  EXPECT_TRUE(problems.empty()) << joined(problems);
}

TEST_P(Inf, IsStagedUnchangedBesideTheImages) {
  bool any = false;
  for (const char* arch : {"i686", "x86_64"}) {
    const fs::path dir = fs::path(PDKIT_IMAGES_DIR) / arch;
    if (!fs::is_directory(dir)) continue;
    any = true;
    const fs::path staged = dir / (GetParam().driver + ".inf");
    ASSERT_TRUE(fs::exists(staged)) << staged << " missing: rebuild with `make images`";
    EXPECT_EQ(read_file(staged), read_file(inf_path(GetParam().driver))) << staged << " is stale";
  }
  if (!any) GTEST_SKIP() << "no images in " << PDKIT_IMAGES_DIR << ": run `make images` first";
}

INSTANTIATE_TEST_SUITE_P(Drivers, Inf, ::testing::ValuesIn(inf_cases()),
                         [](const ::testing::TestParamInfo<InfCase>& param_info) { return param_info.param.driver; });

TEST(Infs, UseDistinctServicesAndHardwareIdsSoTheDriversInstallSideBySide) {
  std::set<std::string> services;
  std::set<std::string> sections;
  for (const auto& c : inf_cases()) {
    const InfFile inf = InfFile::load(inf_path(c.driver));
    std::vector<std::string> problems;
    for (const auto& [platform, install] : install_sections(inf, c.hwid, problems)) {
      const auto add = inf.find(ddinstall(inf, install, platform).value_or(install) + ".Services", "AddService");
      ASSERT_TRUE(add.has_value());
      services.insert(lowercase(add->at(0)));
    }
  }
  EXPECT_EQ(services.size(), inf_cases().size());
}

// The checks above must notice a widened security descriptor.
TEST(Infs, TheSecurityCheckRejectsAWiderDescriptor) {
  std::string text = read_file(inf_path("tavrin"));
  const auto at = text.find(secure_sddl);
  ASSERT_NE(at, std::string::npos);
  text.replace(at, secure_sddl.size(), "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;WD)");
  const InfFile widened = InfFile::parse(text, "widened.inf");
  std::vector<std::string> problems;
  const auto sections = install_sections(widened, "Root\\TAVRINDEV", problems);
  ASSERT_FALSE(sections.empty());
  EXPECT_FALSE(security_problems(widened, *ddinstall(widened, sections.begin()->second, "NTx86")).empty());
}

TEST(Infs, TheParserRejectsAnUndefinedString) {
  EXPECT_THROW(InfFile::parse("[Version]\nProvider = %Nobody%\n[Strings]\n", "bad.inf"), std::runtime_error);
}

TEST(Infs, TheParserHandlesQuotesCommentsAndContinuations) {
  const InfFile inf = InfFile::parse(
      "[A]\nkey = \"x;y, z\", two ; comment\nlong = one,\\\n two\n"
      "HKR,,Security,,\"D:P(A;;GA;;;SY)\"\n[Strings]\n",
      "t.inf");
  EXPECT_EQ(inf.find("a", "KEY"), (std::vector<std::string>{"x;y, z", "two"}));
  EXPECT_EQ(inf.find("A", "long"), (std::vector<std::string>{"one", "two"}));
  ASSERT_EQ(inf.lines("A").size(), 3u);
  EXPECT_EQ(inf.lines("A")[2].values, (std::vector<std::string>{"HKR", "", "Security", "", "D:P(A;;GA;;;SY)"}));
}

}  // namespace
}  // namespace pdkit::images

// The staged images carry a test signature that verifies against the
// staged certificate, and the certificate's private key stays behind. Each
// driver package's catalog is signed the same way and lists its driver by
// the image hash Windows checks, as osslsigncode reads it.
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

#include "image_set.h"
#include "peinfo/pe_image.h"
#include "run_command.h"

namespace pdkit::images {
namespace {

namespace fs = std::filesystem;

constexpr std::uint16_t win_cert_revision_2_0 = 0x0200;
constexpr std::uint16_t win_cert_type_pkcs_signed_data = 0x0002;

// A directory of its own under the system's temporary directory, removed afterwards.
class TempDir {
 public:
  TempDir() {
    path_ =
        fs::temp_directory_path() / ("pdkit-images-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    fs::create_directories(path_);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

std::vector<fs::path> signed_files(const fs::path& dir) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const auto ext = entry.path().extension();
    if (ext == ".sys" || ext == ".exe") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class Signature : public ::testing::TestWithParam<Arch> {
 protected:
  void SetUp() override {
    if (auto why = why_not_built(GetParam())) GTEST_SKIP() << *why;
    cer_ = arch_dir(GetParam()) / "pdkit-test-signing.cer";
    if (!fs::exists(cer_)) {
      GTEST_SKIP() << "no " << cer_ << ": the images were built without test signing (PDKIT_TEST_SIGN=OFF)";
    }
  }

  // The staged DER certificate as PEM, which osslsigncode takes as a trust anchor.
  fs::path pem(const TempDir& dir) const {
    const fs::path out = dir.path() / "anchor.pem";
    const auto r = run_command({PDKIT_OPENSSL, "x509", "-inform", "DER", "-in", cer_.string(), "-out", out.string()});
    if (r.exit_status != 0) throw std::runtime_error("openssl could not read " + cer_.string() + ": " + r.output);
    return out;
  }

  // osslsigncode 2.6 and later may fetch the CRL distribution points of the
  // certificates; -ignore-cdp (2.8 on) keeps the check offline. Debian 12's
  // own 2.5 has neither the fetching nor the option. The test certificate
  // names no distribution point, so the option is only a safeguard.
  static std::vector<std::string> verify_command(const fs::path& anchor) {
    static const bool offline_option =
        run_command({PDKIT_OSSLSIGNCODE, "--help"}).output.find("-ignore-cdp") != std::string::npos;
    std::vector<std::string> argv{PDKIT_OSSLSIGNCODE, "verify", "-CAfile", anchor.string()};
    if (offline_option) argv.push_back("-ignore-cdp");
    return argv;
  }

  static CommandResult verify(const fs::path& file, const fs::path& anchor) {
    std::vector<std::string> argv = verify_command(anchor);
    argv.insert(argv.end(), {"-in", file.string()});
    return run_command(argv);
  }

  // osslsigncode computes the image's Authenticode hash itself and looks it up in the catalog.
  static CommandResult verify_in_catalog(const fs::path& file, const fs::path& catalog, const fs::path& anchor) {
    std::vector<std::string> argv = verify_command(anchor);
    argv.insert(argv.end(), {"-catalog", catalog.string(), "-in", file.string()});
    return run_command(argv);
  }

  // The catalog the INFs name for this architecture (CatalogFile.NTx86 or .NTamd64).
  fs::path catalog(const std::string& driver) const {
    return arch_dir(GetParam()) / (driver + (GetParam().name == "x86_64" ? "_amd64.cat" : "_x86.cat"));
  }

  bool tools_missing() const { return std::string(PDKIT_OSSLSIGNCODE).empty() || std::string(PDKIT_OPENSSL).empty(); }

  fs::path cer_;
};

TEST_P(Signature, EveryImageAndProgramCarriesAnAuthenticodeSignature) {
  const auto files = signed_files(arch_dir(GetParam()));
  ASSERT_FALSE(files.empty());
  for (const auto& file : files) {
    const auto certificates = peinfo::PeImage::load(file).certificates();
    ASSERT_EQ(certificates.size(), 1u) << file << " is not signed";
    EXPECT_EQ(certificates[0].revision, win_cert_revision_2_0) << file;
    EXPECT_EQ(certificates[0].type, win_cert_type_pkcs_signed_data) << file;
    EXPECT_GT(certificates[0].data.size(), 256u) << file;
  }
}

TEST_P(Signature, EverySignatureVerifiesAgainstTheStagedCertificate) {
  if (std::string(PDKIT_OSSLSIGNCODE).empty() || std::string(PDKIT_OPENSSL).empty()) {
    GTEST_SKIP() << "osslsigncode and openssl are needed to verify signatures";
  }
  const TempDir tmp;
  const fs::path anchor = pem(tmp);
  for (const auto& file : signed_files(arch_dir(GetParam()))) {
    const auto r = verify(file, anchor);
    EXPECT_EQ(r.exit_status, 0) << file << ":\n" << r.output;
    EXPECT_NE(r.output.find("Signature verification: ok"), std::string::npos) << file << ":\n" << r.output;
  }
}

TEST_P(Signature, AModifiedImageNoLongerVerifies) {
  if (std::string(PDKIT_OSSLSIGNCODE).empty() || std::string(PDKIT_OPENSSL).empty()) {
    GTEST_SKIP() << "osslsigncode and openssl are needed to verify signatures";
  }
  const auto files = signed_files(arch_dir(GetParam()));
  ASSERT_FALSE(files.empty());
  const TempDir tmp;
  const fs::path anchor = pem(tmp);
  const fs::path copy = tmp.path() / files.front().filename();
  fs::copy_file(files.front(), copy);
  const peinfo::PeImage image = peinfo::PeImage::load(copy);
  const auto& text = image.sections().front();
  {
    std::fstream f(copy, std::ios::binary | std::ios::in | std::ios::out);
    f.seekg(text.raw_offset + 0x10);
    char byte = 0;
    f.read(&byte, 1);
    byte = static_cast<char>(byte ^ 0x01);
    f.seekp(text.raw_offset + 0x10);
    f.write(&byte, 1);
  }
  const auto r = verify(copy, anchor);
  EXPECT_NE(r.exit_status, 0) << "a flipped code byte still verified:\n" << r.output;
}

TEST_P(Signature, TheCertificateIsForCodeSigningAndItsKeyIsNotStaged) {
  if (std::string(PDKIT_OPENSSL).empty()) GTEST_SKIP() << "openssl is needed to read the certificate";
  const auto r = run_command({PDKIT_OPENSSL, "x509", "-inform", "DER", "-in", cer_.string(), "-noout", "-text"});
  ASSERT_EQ(r.exit_status, 0) << r.output;
  EXPECT_NE(r.output.find("Code Signing"), std::string::npos) << "no code-signing usage:\n" << r.output;
  for (const auto& entry : fs::recursive_directory_iterator(arch_dir(GetParam()))) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content.find("PRIVATE KEY"), std::string::npos) << entry.path() << " holds a private key";
  }
}

std::string file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The INF members are checked under Wine (wine.programs): osslsigncode reads PE images only.
TEST_P(Signature, EachPackagesCatalogIsSignedAndListsItsDriver) {
  if (tools_missing()) GTEST_SKIP() << "osslsigncode and openssl are needed to read catalogs";
  const TempDir tmp;
  const fs::path anchor = pem(tmp);
  for (const std::string driver : {"tavrin", "kelvane", "ostrel"}) {
    const fs::path cat = catalog(driver);
    ASSERT_TRUE(fs::exists(cat)) << cat << " missing: rebuild with `make images`";
    const auto signature = verify(cat, anchor);
    EXPECT_NE(signature.output.find("Signature verification: ok"), std::string::npos) << cat << ":\n"
                                                                                      << signature.output;
    const auto image = verify_in_catalog(arch_dir(GetParam()) / (driver + ".sys"), cat, anchor);
    EXPECT_EQ(image.exit_status, 0) << image.output;
    EXPECT_NE(image.output.find("File is signed in catalog"), std::string::npos) << driver << ".sys:\n" << image.output;
  }
}

TEST_P(Signature, ACatalogNoLongerCoversAModifiedImage) {
  if (tools_missing()) GTEST_SKIP() << "osslsigncode and openssl are needed to read catalogs";
  const TempDir tmp;
  const fs::path anchor = pem(tmp);
  const fs::path copy = tmp.path() / "tavrin.sys";
  fs::copy_file(arch_dir(GetParam()) / "tavrin.sys", copy);
  std::string bytes = file_bytes(copy);
  bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x01);
  std::ofstream(copy, std::ios::binary | std::ios::trunc) << bytes;
  const auto r = verify_in_catalog(copy, catalog("tavrin"), anchor);
  EXPECT_NE(r.exit_status, 0) << "a changed image still matched its catalog:\n" << r.output;
}

INSTANTIATE_TEST_SUITE_P(Staged, Signature, ::testing::ValuesIn(architectures()),
                         [](const ::testing::TestParamInfo<Arch>& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace pdkit::images

// Reads every staged driver image back and checks what the kernel and the
// installer rely on, rather than trusting the flags the build passed.
#include <algorithm>
#include <gtest/gtest.h>
#include <set>

#include "image_set.h"
#include "peinfo/hex.h"
#include "peinfo/linker_map.h"
#include "peinfo/pe_checksum.h"
#include "peinfo/pe_image.h"
#include "peinfo/remove_lock_calls.h"
#include "peinfo/version_info.h"
#include "peinfo/x86_disassembly.h"

namespace pdkit::images {
namespace {

using peinfo::hex;
using peinfo::PeImage;

// The kernel routines the drivers call. Anything else in an import table
// is either a new dependency to add here deliberately or a mistake.
const std::set<std::string> allowed_imports = {
    "IoCreateDevice", "IoDeleteDevice", "IoAttachDeviceToDeviceStack", "IoDetachDevice",
    "IoInitializeRemoveLockEx", "IoAcquireRemoveLockEx", "IoReleaseRemoveLockEx", "IofCallDriver",
    "IofCompleteRequest", "PoCallDriver", "PoStartNextPowerIrp", "PoSetPowerState", "PoRequestPowerIrp",
    "ExAllocatePoolWithTag", "ExFreePool", "KeInitializeEvent", "KeSetEvent", "KeWaitForSingleObject",
    "KeInitializeMutex", "KeReleaseMutex", "MmMapLockedPagesSpecifyCache", "RtlInitUnicodeString", "DbgPrint",
    // Windows 2000 and later export it: the drivers choose NX memory from Windows 8 on.
    "RtlGetVersion",
    "memcpy", "memset", "memmove",
    // The x86 kernel exports its interlocked operations as fastcall routines, and mingw-w64's
    // headers call them there rather than inlining them; on x64 they are always inlined.
    "InterlockedCompareExchange", "InterlockedExchange"};

struct Case {
    Arch arch;
    Driver driver;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.arch.name << " " << c.driver.name; }

std::vector<Case> all_cases()
{
    std::vector<Case> cases;
    for (const auto& arch : architectures()) {
        for (const auto& driver : drivers()) cases.push_back({arch, driver});
    }
    return cases;
}

class DriverImage : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override
    {
        const Located where = locate(arch(), driver());
        if (!where.failure.empty()) FAIL() << where.failure;
        if (!where.skip.empty()) GTEST_SKIP() << where.skip;
        path_ = where.path;
        image_.emplace(PeImage::load(path_));
    }

    const Arch& arch() const { return GetParam().arch; }
    const Driver& driver() const { return GetParam().driver; }
    const PeImage& image() const { return *image_; }
    std::filesystem::path map_path() const { return std::filesystem::path(path_).replace_extension(".map"); }

    std::filesystem::path path_;
    std::optional<PeImage> image_;
};

TEST_P(DriverImage, IsANativeImageForItsMachine)
{
    EXPECT_EQ(image().machine(), arch().machine) << peinfo::machine_name(image().machine());
    EXPECT_EQ(image().is_pe32_plus(), arch().machine == peinfo::machine::amd64);
    EXPECT_EQ(image().subsystem(), peinfo::subsystem::native)
        << "subsystem is " << peinfo::subsystem_name(image().subsystem());
    EXPECT_NE(image().characteristics() & peinfo::file_flags::executable_image, 0);
    EXPECT_EQ(image().characteristics() & peinfo::file_flags::dll, 0) << "a driver is not a DLL";
}

TEST_P(DriverImage, EntersAtDriverEntry)
{
    const auto map = peinfo::LinkerMap::load(map_path());
    const auto entry = map.address_of(arch().entry_symbol);
    ASSERT_TRUE(entry.has_value()) << map_path() << " has no symbol " << arch().entry_symbol;
    EXPECT_EQ(image().image_base() + image().entry_point_rva(), *entry)
        << "the entry point is " << hex(image().entry_point_rva()) << ", " << arch().entry_symbol << " is at "
        << hex(*entry - image().image_base());
    const peinfo::Section* section = image().section_at(image().entry_point_rva());
    ASSERT_NE(section, nullptr);
    EXPECT_TRUE(section->executable()) << "entry point in non-executable section " << section->name;
}

TEST_P(DriverImage, ImportsOnlyKnownKernelRoutinesFromNtoskrnl)
{
    const auto dlls = image().imports();
    ASSERT_EQ(dlls.size(), 1u) << "a driver image imports from ntoskrnl.exe alone";
    std::string dll = dlls[0].name;
    std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(dll, "ntoskrnl.exe");
    EXPECT_FALSE(dlls[0].routines.empty());
    for (const auto& routine : dlls[0].routines) {
        EXPECT_FALSE(routine.ordinal.has_value()) << "import by ordinal " << *routine.ordinal;
        EXPECT_TRUE(allowed_imports.contains(routine.name))
            << "unexpected import " << routine.name << ": add it to allowed_imports if the drivers "
            << "really need it, otherwise find what pulled it in";
    }
}

TEST_P(DriverImage, StoresItsTrueChecksum)
{
    const auto computed = peinfo::compute_pe_checksum(image().bytes(), image().checksum_offset());
    EXPECT_NE(image().stored_checksum(), 0u);
    EXPECT_EQ(image().stored_checksum(), computed)
        << "stored " << hex(image().stored_checksum(), 8) << ", computed " << hex(computed, 8);
}

TEST_P(DriverImage, CanBeRelocated)
{
    EXPECT_EQ(image().characteristics() & peinfo::file_flags::relocs_stripped, 0) << "relocations stripped";
    const auto relocs = image().relocations();
    const std::uint8_t address_type =
        arch().machine == peinfo::machine::amd64 ? peinfo::reloc_type::dir64 : peinfo::reloc_type::highlow;
    std::size_t fixups = 0;
    for (const auto& r : relocs) {
        if (r.type == peinfo::reloc_type::absolute) continue;
        EXPECT_EQ(r.type, address_type) << "relocation of type " << peinfo::reloc_type_name(r.type) << " at "
                                        << hex(r.rva);
        const peinfo::Section* s = image().section_at(r.rva);
        EXPECT_NE(s, nullptr) << "relocation at " << hex(r.rva) << " outside every section";
        ++fixups;
    }
    EXPECT_GT(fixups, 0u) << "no base relocations: the kernel could not load the image at another address";
}

TEST_P(DriverImage, IsMarkedDynamicBaseAndNxCompatible)
{
    EXPECT_NE(image().dll_characteristics() & peinfo::dll_flags::dynamic_base, 0) << "DYNAMIC_BASE missing";
    EXPECT_NE(image().dll_characteristics() & peinfo::dll_flags::nx_compat, 0) << "NX_COMPAT missing";
}

TEST_P(DriverImage, HasNoSectionBothWritableAndExecutable)
{
    for (const auto& s : image().sections()) {
        EXPECT_FALSE(s.writable() && s.executable()) << s.name << " is writable and executable";
    }
}

TEST_P(DriverImage, HasNoThreadLocalStorageExportsOrConstructors)
{
    EXPECT_FALSE(image().data_directory(peinfo::directory::tls).present()) << "TLS does not exist for drivers";
    EXPECT_FALSE(image().data_directory(peinfo::directory::exports).present()) << "the image exports symbols";
    const auto count = peinfo::LinkerMap::load(map_path()).constructor_count(image().pointer_size());
    ASSERT_TRUE(count.has_value()) << map_path() << " lacks __CTOR_LIST__/__DTOR_LIST__";
    EXPECT_EQ(*count, 0) << "global constructors never run in a kernel image";
}

TEST_P(DriverImage, HasUnwindDataExactlyWhereTheKernelUsesIt)
{
    if (arch().machine != peinfo::machine::amd64) {
        // x86 Windows has no table-based unwinding: the build leaves the tables out.
        EXPECT_FALSE(image().data_directory(peinfo::directory::exceptions).present());
        return;
    }
    const auto functions = image().runtime_functions();
    ASSERT_FALSE(functions.empty()) << "no .pdata: the kernel cannot unwind through the driver";
    bool entry_covered = false;
    for (const auto& f : functions) {
        EXPECT_LT(f.begin, f.end);
        const peinfo::Section* s = image().section_at(f.begin);
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(s->executable()) << "runtime function at " << hex(f.begin) << " is not in code";
        EXPECT_NE(image().section_at(f.unwind_info), nullptr) << "unwind info of " << hex(f.begin) << " is lost";
        entry_covered |= f.begin <= image().entry_point_rva() && image().entry_point_rva() < f.end;
    }
    EXPECT_TRUE(entry_covered) << "DriverEntry has no unwind data";
}

TEST_P(DriverImage, CarriesItsVersionResource)
{
    const auto info = peinfo::read_version_info(image());
    ASSERT_TRUE(info.has_value()) << "no version resource";
    EXPECT_EQ(info->resource_language, 0x0409);
    const auto& f = info->fixed;
    EXPECT_EQ(f.signature, peinfo::fixed_file_info_signature);
    EXPECT_EQ(peinfo::version_text(f.file_version_ms, f.file_version_ls), "1.0.0.1");
    EXPECT_EQ(peinfo::version_text(f.product_version_ms, f.product_version_ls), "1.0.0.1");
    EXPECT_EQ(f.file_os, 0x00040004u) << "VOS_NT_WINDOWS32";
    EXPECT_EQ(f.file_type, 3u) << "VFT_DRV";
    EXPECT_EQ(f.file_subtype, 7u) << "VFT2_DRV_SYSTEM";

    ASSERT_EQ(info->string_tables.size(), 1u);
    const auto& table = info->string_tables[0];
    EXPECT_EQ(table.key, "040904b0");
    for (const char* key : {"CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
                            "OriginalFilename", "ProductName", "ProductVersion"}) {
        const std::string* value = table.find(key);
        ASSERT_NE(value, nullptr) << "no " << key << " entry";
        EXPECT_FALSE(value->empty()) << key << " is empty";
    }
    EXPECT_EQ(*table.find("FileVersion"), "1.0.0.1");
    EXPECT_EQ(*table.find("ProductVersion"), "1.0.0.1");
    EXPECT_EQ(*table.find("OriginalFilename"), driver().name + ".sys");
    ASSERT_EQ(info->translations.size(), 1u);
    EXPECT_EQ(info->translations[0], (peinfo::Translation{0x0409, 0x04b0}));
}

// Every remove-lock call of the image at `path`, traced through its
// disassembly, must pass the architecture's sizeof(IO_REMOVE_LOCK); all
// three kinds of call must be there. Returns what is wrong.
std::vector<std::string> remove_lock_problems(const Arch& arch, const std::filesystem::path& path)
{
    const PeImage image = PeImage::load(path);
    const auto code = peinfo::parse_objdump(peinfo::run_objdump(arch.objdump, path));
    if (code.empty()) return {"objdump printed no instructions for " + path.string()};
    const auto audit = peinfo::audit_remove_lock_calls(image, code);
    std::vector<std::string> problems;
    std::set<std::string> routines;
    for (const auto& call : audit.calls) {
        routines.insert(call.routine);
        if (!call.size) {
            problems.push_back(call.routine + " at " + hex(call.address) + ": the size argument could not be traced");
        } else if (*call.size != arch.remove_lock_size) {
            problems.push_back(call.routine + " at " + hex(call.address) + " passes " + hex(*call.size) +
                               ", sizeof(IO_REMOVE_LOCK) is " + hex(arch.remove_lock_size));
        }
    }
    for (const char* r : {"IoInitializeRemoveLockEx", "IoAcquireRemoveLockEx", "IoReleaseRemoveLockEx"}) {
        if (!routines.contains(r)) problems.push_back(std::string("no call of ") + r + " found");
    }
    for (auto at : audit.unaccounted_references) {
        problems.push_back("the instruction at " + hex(at) +
                           " takes a remove-lock routine's address, but no call through it was traced");
    }
    return problems;
}

std::string joined(const std::vector<std::string>& problems)
{
    std::string text;
    for (const auto& p : problems) text += "\n  " + p;
    return text;
}

TEST_P(DriverImage, PassesTheRemoveLockSizeToEveryRemoveLockCall)
{
    if (arch().objdump.empty()) {
        GTEST_SKIP() << "no objdump for " << arch().name << " (install binutils-mingw-w64)";
    }
    const auto problems = remove_lock_problems(arch(), path_);
    EXPECT_TRUE(problems.empty()) << joined(problems);
}

INSTANTIATE_TEST_SUITE_P(Staged, DriverImage, ::testing::ValuesIn(all_cases()),
                         [](const ::testing::TestParamInfo<Case>& param_info) {
                             return param_info.param.arch.name + "_" + param_info.param.driver.name;
                         });

}  // namespace
}  // namespace pdkit::images

namespace pdkit::images {
namespace {

class RemoveLockCheck : public ::testing::TestWithParam<Arch> {};

// The fixture built with a wrong size shows that the check above can fail.
TEST_P(RemoveLockCheck, FindsTheWrongSizeInTheFaultyFixture)
{
    const Driver faulty{"imgfixture_badlock", "tools/peinfo/fixture", true};
    const Located where = locate(GetParam(), faulty);
    if (!where.failure.empty()) FAIL() << where.failure;
    if (!where.skip.empty()) GTEST_SKIP() << where.skip;
    if (GetParam().objdump.empty()) GTEST_SKIP() << "no objdump for " << GetParam().name;
    const auto problems = remove_lock_problems(GetParam(), where.path);
    ASSERT_EQ(problems.size(), 3u) << joined(problems);
    for (const auto& p : problems) EXPECT_NE(p.find("passes 0x14"), std::string::npos) << p;
}

INSTANTIATE_TEST_SUITE_P(Staged, RemoveLockCheck, ::testing::ValuesIn(architectures()),
                         [](const ::testing::TestParamInfo<Arch>& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace pdkit::images

#include "peinfo/remove_lock_calls.h"

#include <gtest/gtest.h>

#include "peinfo/hex.h"
#include "peinfo/pe_image.h"
#include "pe_builder.h"

namespace peinfo {
namespace {

using test::Bytes;

// An image whose imports include the remove-lock routines; the code itself
// comes from the disassembly text each test writes.
struct Fixture {
    explicit Fixture(std::uint16_t m) : builder(m)
    {
        text = builder.add_section(".text", 0x60000020, Bytes(0x400, 0x90));
        slots = builder.add_imports({{"ntoskrnl.exe",
                                      {"IoInitializeRemoveLockEx", "IoAcquireRemoveLockEx",
                                       "IoReleaseRemoveLockEx", "IoReleaseRemoveLockAndWaitEx", "DbgPrint"}}});
        image.emplace(builder.build(), "fixture.sys");
    }

    // "%slot:Routine%" in `text` stands for the routine's IAT slot address.
    RemoveLockAudit audit(std::string disassembly) const
    {
        for (const auto& [name, address] : slots) {
            const std::string token = "%slot:" + name + "%";
            for (std::size_t at; (at = disassembly.find(token)) != std::string::npos;) {
                disassembly.replace(at, token.size(), hex(address));
            }
        }
        return audit_remove_lock_calls(*image, parse_objdump(disassembly));
    }

    test::PeBuilder builder;
    std::uint32_t text = 0;
    std::map<std::string, std::uint64_t> slots;
    std::optional<PeImage> image;
};

TEST(RemoveLockCalls, ReadsArgumentsStoredIntoTheOutgoingArea)
{
    const Fixture f(machine::i386);
    const auto audit = f.audit(R"(
   11054:	movl   $0x18,0x10(%esp)
   1105c:	movl   $0x0,0xc(%esp)
   11064:	movl   $0x0,0x8(%esp)
   1106c:	movl   $0x4b434f4c,0x4(%esp)
   11074:	movl   $0x13104,(%esp)
   1107b:	call   *%slot:IoInitializeRemoveLockEx%
   11081:	sub    $0x14,%esp
   11084:	mov    %ebp,0x4(%esp)
   110f5:	movl   $0x18,0x8(%esp)
   110fd:	movl   $0x13104,(%esp)
   11104:	call   *%slot:IoReleaseRemoveLockEx%
   1110a:	sub    $0xc,%esp
   1110b:	ret
)");
    ASSERT_EQ(audit.calls.size(), 2u);
    EXPECT_EQ(audit.calls[0].routine, "IoInitializeRemoveLockEx");
    EXPECT_EQ(audit.calls[0].address, 0x1107bu);
    EXPECT_EQ(audit.calls[0].size, 0x18u);
    EXPECT_EQ(audit.calls[1].routine, "IoReleaseRemoveLockEx");
    EXPECT_EQ(audit.calls[1].size, 0x18u);
    EXPECT_TRUE(audit.unaccounted_references.empty());
}

TEST(RemoveLockCalls, ReadsPushedArgumentsAndConstantsHeldInRegisters)
{
    const Fixture f(machine::i386);
    const auto audit = f.audit(R"(
   11000:	push   %ebx
   11001:	mov    $0x18,%ebx
   11006:	push   %ebx
   11007:	push   $0x2e
   11009:	push   $0x12048
   1100e:	push   %esi
   1100f:	push   $0x140c0
   11014:	call   *%slot:IoAcquireRemoveLockEx%
   1101a:	push   %ebx
   1101b:	push   %esi
   1101c:	push   $0x140c0
   11021:	call   *%slot:IoReleaseRemoveLockEx%
   11027:	pop    %ebx
   11028:	ret
)");
    ASSERT_EQ(audit.calls.size(), 2u);
    EXPECT_EQ(audit.calls[0].size, 0x18u);
    // ebx is callee-saved: the constant survives the first call.
    EXPECT_EQ(audit.calls[1].size, 0x18u);
}

TEST(RemoveLockCalls, ReportsTheWrongSize)
{
    const Fixture f(machine::i386);
    const auto audit = f.audit(R"(
   11000:	movl   $0x14,0x8(%esp)
   11008:	movl   $0x0,0x4(%esp)
   11010:	movl   $0x13104,(%esp)
   11017:	call   *%slot:IoReleaseRemoveLockEx%
   1101d:	ret
)");
    ASSERT_EQ(audit.calls.size(), 1u);
    EXPECT_EQ(audit.calls[0].size, 0x14u);
}

TEST(RemoveLockCalls, FollowsCallsThroughARegisterAndThroughAThunk)
{
    const Fixture f(machine::i386);
    const auto audit = f.audit(R"(
   11000:	mov    %slot:IoReleaseRemoveLockEx%,%esi
   11006:	movl   $0x18,0x8(%esp)
   1100e:	call   *%esi
   11010:	sub    $0xc,%esp
   11013:	movl   $0x18,0x8(%esp)
   1101b:	call   0x11100
   11020:	ret
   11100:	jmp    *%slot:IoReleaseRemoveLockEx%
)");
    ASSERT_EQ(audit.calls.size(), 2u);
    EXPECT_EQ(audit.calls[0].address, 0x1100eu);
    EXPECT_EQ(audit.calls[0].size, 0x18u);
    EXPECT_EQ(audit.calls[1].address, 0x1101bu);
    EXPECT_EQ(audit.calls[1].size, 0x18u);
    EXPECT_TRUE(audit.unaccounted_references.empty());
}

TEST(RemoveLockCalls, KeepsWhatEveryPathIntoAJoinAgreesOn)
{
    const Fixture f(machine::i386);
    // The compiler merged two calls: both paths store 0x18 before jumping
    // to the shared call.
    const auto audit = f.audit(R"(
   11000:	test   %eax,%eax
   11002:	js     0x11020
   11004:	movl   $0x18,0x8(%esp)
   1100c:	mov    %ebx,0x4(%esp)
   11010:	jmp    0x11042
   11020:	add    $0x48,%esi
   11023:	movl   $0x18,0x8(%esp)
   1102b:	mov    %ebx,0x4(%esp)
   11042:	call   *%slot:IoReleaseRemoveLockEx%
   11048:	ret
)");
    ASSERT_EQ(audit.calls.size(), 1u);
    EXPECT_EQ(audit.calls[0].size, 0x18u);
}

TEST(RemoveLockCalls, ForgetsWhatThePathsIntoAJoinDisagreeOn)
{
    const Fixture f(machine::i386);
    const auto audit = f.audit(R"(
   11000:	test   %eax,%eax
   11002:	js     0x11020
   11004:	movl   $0x18,0x8(%esp)
   1100c:	jmp    0x11042
   11020:	movl   $0x14,0x8(%esp)
   11042:	call   *%slot:IoReleaseRemoveLockEx%
   11048:	ret
)");
    ASSERT_EQ(audit.calls.size(), 1u);
    EXPECT_FALSE(audit.calls[0].size.has_value());
}

TEST(RemoveLockCalls, KnowsNothingWhereCodeIsEnteredFromOutside)
{
    const Fixture f(machine::i386);
    // 0x11010 is also a call target: callers arrive with anything in place.
    const auto audit = f.audit(R"(
   11000:	movl   $0x18,0x8(%esp)
   11008:	nop
   11010:	call   *%slot:IoReleaseRemoveLockEx%
   11016:	ret
   11020:	call   0x11010
   11025:	ret
)");
    ASSERT_EQ(audit.calls.size(), 1u);
    EXPECT_FALSE(audit.calls[0].size.has_value());
}

TEST(RemoveLockCalls, ACallClobbersTheArgumentArea)
{
    const Fixture f(machine::i386);
    const auto audit = f.audit(R"(
   11000:	movl   $0x18,0x8(%esp)
   11008:	call   *%slot:DbgPrint%
   1100e:	call   *%slot:IoReleaseRemoveLockEx%
   11014:	ret
)");
    ASSERT_EQ(audit.calls.size(), 1u);
    EXPECT_FALSE(audit.calls[0].size.has_value());
}

TEST(RemoveLockCalls, ReportsAnAddressTakenButNotSeenCalled)
{
    const Fixture f(machine::i386);
    const auto audit = f.audit(R"(
   11000:	mov    %slot:IoAcquireRemoveLockEx%,%eax
   11005:	mov    %eax,0x14000
   1100a:	ret
)");
    EXPECT_TRUE(audit.calls.empty());
    EXPECT_EQ(audit.unaccounted_references, std::vector<std::uint64_t>{0x11000});
}

TEST(RemoveLockCalls, ReadsRegisterAndStackArgumentsOnX86_64)
{
    const Fixture f(machine::amd64);
    const auto acquire = f.slots.at("IoAcquireRemoveLockEx");
    const auto release = f.slots.at("IoReleaseRemoveLockEx");
    const auto audit = f.audit(R"(
   140001000:	sub    $0x38,%rsp
   140001004:	movl   $0x20,0x20(%rsp)
   14000100c:	mov    $0x2e,%r9d
   140001012:	lea    0x1000(%rip),%r8        # 0x140002019
   140001019:	call   *0x4fe1(%rip)        # )" + hex(acquire) + R"( <__imp_IoAcquireRemoveLockEx>
   14000101f:	mov    $0x20,%r8d
   140001025:	mov    %rbx,%rdx
   140001028:	call   *0x5000(%rip)        # )" + hex(release) + R"(
   14000102e:	add    $0x38,%rsp
   140001032:	ret
)");
    ASSERT_EQ(audit.calls.size(), 2u);
    EXPECT_EQ(audit.calls[0].routine, "IoAcquireRemoveLockEx");
    EXPECT_EQ(audit.calls[0].size, 0x20u);
    EXPECT_EQ(audit.calls[1].routine, "IoReleaseRemoveLockEx");
    EXPECT_EQ(audit.calls[1].size, 0x20u);
}

TEST(ObjdumpParser, SplitsPrefixesOperandsAndAnnotations)
{
    const auto code = parse_objdump(R"(
imgfixture.sys:     file format pei-i386

Disassembly of section .text:

00011000 <.text>:
   11000:	rep movsl %ds:(%esi),%es:(%edi)
   11002:	lea    0x0(%esi,%eiz,1),%esi
   11009:	call   *0x1234(%rip)        # 0x140006050 <__imp_X>
   1100f:	call   11150 <_DbgPrint>
	...
   11020:	ret
)");
    ASSERT_EQ(code.size(), 5u);
    EXPECT_EQ(code[0].mnemonic, "rep movsl");
    EXPECT_EQ(code[0].operands, (std::vector<std::string>{"%ds:(%esi)", "%es:(%edi)"}));
    EXPECT_EQ(code[1].operands, (std::vector<std::string>{"0x0(%esi,%eiz,1)", "%esi"}));
    EXPECT_EQ(code[1].next_address, 0x11009u);
    EXPECT_EQ(code[2].comment, "0x140006050 <__imp_X>");
    EXPECT_EQ(code[3].operands, std::vector<std::string>{"11150"});
    // The elided bytes break the run: the next address is unknown.
    EXPECT_EQ(code[3].next_address, 0u);
}

}  // namespace
}  // namespace peinfo

#include "peinfo/linker_map.h"

#include <gtest/gtest.h>

namespace peinfo {
namespace {

// Shaped like GNU ld's map of an i686 driver image.
constexpr const char* i686_map = R"(Archive member included to satisfy reference by file (symbol)

.text           0x00011000      0x6d0
 *(.text)
 .text          0x00011000       0x35 CMakeFiles/x.dir/drvmain.cpp.obj
                0x00011020                DriverEntry@8
 .text          0x00011150        0x8 /usr/lib/libntoskrnl.a(libntoskrnls00065.o)
                0x00011150                DbgPrint
 *fill*         0x00011158        0x8 
                0x00011158                ___CTOR_LIST__ = .
                0x00011158                __CTOR_LIST__ = .
                0x00011158        0x4 LONG 0xffffffff
 *(.ctors)
%CTORS%                0x0001115c        0x4 LONG 0x0
                0x00011160                ___DTOR_LIST__ = .
                0x00011160                __DTOR_LIST__ = .
                0x00011160        0x4 LONG 0xffffffff
                0x00010000                        ___ImageBase = 0x10000
                0x00011000                . = ALIGN (0x1000)
)";

std::string map_with_constructors(int count)
{
    std::string text = i686_map;
    std::string ctors;
    for (int i = 0; i < count; ++i) ctors += " .ctors        0x0001115c        0x4 a.obj\n";
    text.replace(text.find("%CTORS%"), 7, ctors);
    // Every constructor pushes the list end further out.
    const unsigned dtor = 0x11160 + 4 * static_cast<unsigned>(count);
    char address[16];
    std::snprintf(address, sizeof address, "0x%08x", dtor);
    for (std::size_t at = 0; (at = text.find("0x00011160", at)) != std::string::npos; at += 10) {
        text.replace(at, 10, address);
    }
    return text;
}

TEST(LinkerMap, FindsSymbolsAndAssignments)
{
    const LinkerMap map = LinkerMap::parse(map_with_constructors(0));
    EXPECT_EQ(map.address_of("DriverEntry@8"), 0x11020u);
    EXPECT_EQ(map.address_of("DbgPrint"), 0x11150u);
    EXPECT_EQ(map.address_of("___ImageBase"), 0x10000u);
    EXPECT_EQ(map.address_of("__CTOR_LIST__"), 0x11158u);
    EXPECT_FALSE(map.address_of("DriverEntry").has_value());
    EXPECT_FALSE(map.address_of("LONG").has_value());
    EXPECT_FALSE(map.address_of(".").has_value());
    EXPECT_EQ(map.symbols_at(0x11020), std::vector<std::string>{"DriverEntry@8"});
}

TEST(LinkerMap, CountsNoConstructorsBetweenTheSentinels)
{
    EXPECT_EQ(LinkerMap::parse(map_with_constructors(0)).constructor_count(4), 0);
}

TEST(LinkerMap, CountsGlobalConstructors)
{
    EXPECT_EQ(LinkerMap::parse(map_with_constructors(2)).constructor_count(4), 2);
}

TEST(LinkerMap, WithoutTheListSymbolsTheCountIsUnknown)
{
    EXPECT_FALSE(LinkerMap::parse("                0x00011020                DriverEntry@8\n").constructor_count(4));
}

TEST(LinkerMap, LoadExplainsAMissingMap)
{
    try {
        LinkerMap::load("/nonexistent/tavrin.map");
        FAIL();
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("cannot open the linker map"), std::string::npos);
    }
}

}  // namespace
}  // namespace peinfo

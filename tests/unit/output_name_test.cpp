// Output names from stored name fields: the cut after the stored extension, and the names that
// could leave the output folder or open a device.
#include "dzlib/output_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dzlib/records.h"

namespace dz {
namespace {

constexpr std::size_t kWidth = sizeof(SubfileHeader::name);

TEST(OutputName, FromTheStoredField) {
    const std::pair<std::string, std::string> cases[] = {
        {"amss.mbn", "amss.mbn"},
        {"amss.mbnX", "amss.mbn"},  // four characters after the last full stop: cut to three
        {"a.bcd", "a.bcd"},
        {"a.bcde", "a.bcd"},
        {"a.bc", "a.bc"},
        {"a.b", "a.b"},
        {"a.", "a."},
        {"x.y.binary", "x.y.bin"},
        {"v1.0.tar.gzip", "v1.0.tar.gzi"},
        {".profile", ".pro"},
        {"..abcd", "..abc"},
        {"noextension", "noextension"},
        {std::string("ab\0cd", 5), "ab"},
        {"a b", "a b"},
        {"", ""},  // names that could leave the folder
        {".", ""},
        {"..", ""},
        {"../x", ""},
        {"a/b", ""},
        {"a\\b", ""},
        {"c:x", ""},
        {"dir.x/abcd", ""},
        {"dir.x/abcde", ""},
        {"a\x01"
         "b",
         ""},  // control bytes
        {"\x1F", ""},
        {"a\x7F", ""},
        {"a\tb", ""},
        {"~a!", "~a!"},
        {"CON", ""},  // devices, with or without an extension, in either case
        {"con", ""},
        {"Con.txt", ""},
        {"CON.tar.gz", ""},
        {"PRN", ""},
        {"AUX.c", ""},
        {"nul", ""},
        {"COM1", ""},
        {"COM9", ""},
        {"com5.bin", ""},
        {"LPT1", ""},
        {"lpt9.x", ""},
        {"COM0", "COM0"},
        {"LPT0", "LPT0"},
        {"COM10", "COM10"},
        {"COMA", "COMA"},
        {"CO", "CO"},
        {"CONX", "CONX"},
        {"CONSOLE", "CONSOLE"},
        {"NULL", "NULL"},
        {"xCON", "xCON"},
    };
    for (const auto& [stored, expected] : cases) {
        char field[kWidth] = {};
        std::memcpy(field, stored.data(), stored.size());
        EXPECT_EQ(outputNameFor(field, kWidth), expected) << stored;
    }
}

TEST(OutputName, AFieldWithoutAZeroEndsAtItsWidth) {
    struct Case {
        std::string stored;  // the field's whole width, then bytes past it
        std::string expected;
    };
    const std::string a139(139, 'a');
    const Case cases[] = {
        {std::string(kWidth, 'a') + "b.binary", std::string(kWidth, 'a')},
        {std::string(140, 'a') + ".bin" + "X", std::string(140, 'a') + ".bin"},
        {a139 + ".binX" + "X", a139 + ".bin"},
        {a139 + ".bi" + std::string(1, '\0') + "X", a139 + ".bi"},
        {std::string(kWidth - 1, 'a') + "/", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(outputNameFor(c.stored.data(), kWidth), c.expected) << c.stored;
    }
}

}  // namespace
}  // namespace dz

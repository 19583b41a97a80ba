// The example container that `make run` unpacks: it stays valid and unpacks as the README shows.
#include <filesystem>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

using ExampleTest = E2eTest;

TEST_F(ExampleTest, UnpacksWholeWithTheTwoModemPiecesJoined) {
    std::filesystem::copy_file(KESTRIX_SOURCE_DIR "/examples/example.dz", dir / "example.dz");
    testsupport::RunResult result = run({"example.dz", "out"});
    EXPECT_EQ(
        result.output,
        opening("example.dz") + status("Unpacking informations:") +
            detail("     - Unpacking \"boot.img\" (Packed:0000010D - Unpacked:00000800).") +
            detail("     - Unpacking \"modem.bin\" (Packed:00000099 - Unpacked:00000494).") +
            detail("     - Merging   \"modem.bin\" (Packed:00000095 - Unpacked:00000404).") +
            detail("     - Unpacking \"version.txt\" (Packed:00000094 - Unpacked:000000A2).") +
            status("SubFiles: 0x00000007. (Packsmith)") + closing("example.dz"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(testsupport::listDirectory(dir / "out"),
              (std::vector<std::string>{"boot.img", "modem.bin", "version.txt"}));
    EXPECT_EQ(testsupport::readFile(dir / "out/modem.bin").size(), 0x494u + 0x404u);
}

}  // namespace
}  // namespace e2e

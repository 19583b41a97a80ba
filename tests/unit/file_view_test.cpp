// Files read in place: the bytes as the file holds them, and zeros, not the end of the process,
// where another program shortens the file while it is viewed.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

TEST(FileViewTest, ShowsTheBytesInPlaceAndZerosWhereTheFileWasShortened) {
    platform::prepareProcess();
    const fs::path path = fs::temp_directory_path() / "kestrix-file-view-test.bin";
    std::string content(3 * 65536 + 100, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(1 + i % 251);
    std::ofstream(path, std::ios::binary).write(content.data(), std::streamsize(content.size()));

    platform::File file = platform::File::openExclusiveRead(path.string().c_str());
    ASSERT_TRUE(file.isOpen());
    const std::size_t at = 4097;  // not on a page boundary
    const std::size_t length = content.size() - at;
    platform::FileView view = file.view(at, length);
    if (view.empty()) GTEST_SKIP() << "files are not read in place on this system";
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(view.bytes()), length), content.substr(at));

    const std::size_t kept = 65536 + 10;
    fs::resize_file(path, kept);
    const std::string seen(reinterpret_cast<const char*>(view.bytes()), length);
    EXPECT_EQ(seen.substr(0, kept - at), content.substr(at, kept - at));
    EXPECT_EQ(seen.find_first_not_of('\0', kept - at), std::string::npos);
    view = platform::FileView();
    file.close();
    fs::remove(path);
}

}  // namespace

// Files read in place: the bytes as the file holds them, and zeros, not the end of the process,
// where another program shortens the file while it is viewed; a bus error of anything else the
// process maps still goes to the handler it had.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

fs::path writtenFile(const std::string& name, const std::string& content) {
    const fs::path path = fs::temp_directory_path() / name;
    std::ofstream(path, std::ios::binary).write(content.data(), std::streamsize(content.size()));
    return path;
}

// 0 when a view shows the file's bytes, and the kept bytes and then zeros once the file is
// shortened under it; 2 when files are not read in place; 1 when the bytes are wrong.
int shortenedUnderAView() {
    std::string content(3 * 65536 + 100, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(1 + i % 251);
    const fs::path path = writtenFile("kestrix-file-view-test.bin", content);
    platform::File file = platform::File::openExclusiveRead(path.string().c_str());
    const std::size_t at = 4097;  // not on a page boundary
    const std::size_t length = content.size() - at;
    platform::FileView view = file.view(at, length);
    if (view.empty()) return 2;
    const auto seen = [&] {
        return std::string(reinterpret_cast<const char*>(view.bytes()), length);
    };
    if (seen() != content.substr(at)) return 1;
    const std::size_t kept = 65536 + 10;
    fs::resize_file(path, kept);
    const std::string after = seen();
    const bool right = after.substr(0, kept - at) == content.substr(at, kept - at) &&
                       after.find_first_not_of('\0', kept - at) == std::string::npos;
    view = platform::FileView();
    file.close();
    fs::remove(path);
    return right ? 0 : 1;
}

TEST(FileViewTest, ZerosWhereTheFileWasShortenedWhetherAProgramOrTheLibraryPreparedTheProcess) {
#ifdef _WIN32
    GTEST_SKIP() << "files are not read in place on this system";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (void (*prepare)() : {platform::prepareProcess, platform::prepareViews}) {
        EXPECT_EXIT(
            {
                prepare();
                std::exit(shortenedUnderAView());
            },
            testing::ExitedWithCode(0), "");
    }
}

#ifndef _WIN32
TEST(FileViewTest, ABusErrorOutsideTheViewsGoesToTheHandlerTheProcessHadBefore) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            struct sigaction before {};
            before.sa_handler = [](int) { ::_exit(42); };
            sigemptyset(&before.sa_mask);
            ::sigaction(SIGBUS, &before, nullptr);
            platform::prepareViews();
            ::alarm(20);  // a handler that returns to the same fault would repeat it forever
            // A mapping of the process's own, not a view, of a file that is then shortened.
            const fs::path path = writtenFile("kestrix-file-view-own.bin", std::string(8192, 'x'));
            platform::File file = platform::File::openExclusiveRead(path.string().c_str());
            FILE* stream = std::fopen(path.string().c_str(), "rb");
            void* own = ::mmap(nullptr, 8192, PROT_READ, MAP_SHARED, ::fileno(stream), 0);
            fs::resize_file(path, 0);
            fs::remove(path);
            std::exit(static_cast<volatile const char*>(own)[4096]);  // the bus error
        },
        testing::ExitedWithCode(42), "");
}
#endif

}  // namespace

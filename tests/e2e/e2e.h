// What every end-to-end test needs: the expected line forms and a run in a fresh directory.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/container_writer.h"
#include "tests/support/program.h"

namespace e2e {

inline const std::string kBanner =
    "Kestrix v1.0b *ALPHA RELEASE* Written by the Kestrix developers.\r\n\r\n";

inline std::string status(const std::string& text) {
    return " [\xFE] " + text + "\r\n";
}
inline std::string error(const std::string& text) {
    return " [x] " + text + "\r\n";
}
inline std::string detail(const std::string& text) {
    return text + "\r\n";
}

// The lines every run over container "a.dz" opens with, for the default working size.
inline std::string opening(const std::string& path = "a.dz", unsigned mebibytes = 240) {
    return kBanner + status("Opening file \"" + path + "\".") +
           status("Allocated memory: " + std::to_string(mebibytes) + " Mo.");
}
inline std::string closing(const std::string& path = "a.dz") {
    return status("Closing file \"" + path + "\".");
}

// The lines extraction prints.
inline std::string hex8(std::size_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}
inline std::string packedSizeOf(const testsupport::SubfilePlan& subfile) {
    return hex8(
        subfile.packed
            ? subfile.packedSize.value_or(subfile.packed->size())
            : testsupport::deflateContent(subfile.content, subfile.gzip, subfile.level).size());
}
inline std::string unpacking(const testsupport::SubfilePlan& subfile) {
    return detail("     - Unpacking \"" + subfile.name + "\" (Packed:" + packedSizeOf(subfile) +
                  " - Unpacked:" + hex8(subfile.content.size()) + ").");
}
inline std::string merging(const testsupport::SubfilePlan& subfile) {
    return detail("     - Merging   \"" + subfile.name + "\" (Packed:" + packedSizeOf(subfile) +
                  " - Unpacked:" + hex8(subfile.content.size()) + ").");
}
inline std::string heading() {
    return status("Unpacking informations:");
}
inline std::string summary(std::uint32_t mask) {
    return status("SubFiles: 0x" + hex8(mask) + ". (Packsmith)");
}

// Content that deflate packs small and that still takes a while to unpack, digest and write.
inline std::string bulky(std::size_t size, char seed) {
    std::string block(4096, '\0');
    std::uint32_t x = static_cast<unsigned char>(seed);
    for (char& c : block) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    std::string content;
    content.reserve(size);
    while (content.size() < size) content += block;
    content.resize(size);
    return content;
}

// A system image in three pieces around a boot image, one piece with a gzip wrapper, and a modem
// image: a container to extract, change and pack again.
inline testsupport::ContainerPlan splitImageFirmware() {
    testsupport::ContainerPlan plan;
    plan.subfiles = {{"system.img", 3, bulky(300000, 'a')},
                     {"boot.img", 1, "kernel"},
                     {"system.img", 3, bulky(200000, 'b')},
                     {"system.img", 3, bulky(100000, 'c')},
                     {"modem.bin", 2, std::string(5000, 'm')}};
    plan.subfiles[2].gzip = true;
    return plan;
}

// The programs' hidden temporary files in an output folder (kestrix's and kx's).
inline bool isTemporary(const std::string& name) {
    return name.rfind(".kestrix-", 0) == 0 || name.rfind(".kx-", 0) == 0;
}
inline std::vector<std::string> temporaries(const std::string& folder) {
    std::vector<std::string> found;
    for (const std::string& name : testsupport::listDirectory(folder)) {
        if (isTemporary(name)) found.push_back(name);
    }
    return found;
}

// Waits until a temporary file in `folder` holds at least `bytes` bytes, or the process `pid`
// has ended; true in the first case. Interruptions are driven by what was written, not by time.
inline bool awaitTemporary(int pid, const std::string& folder, std::uintmax_t bytes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const std::string& name : temporaries(folder)) {
            std::error_code gone;
            const std::uintmax_t size = std::filesystem::file_size(folder + "/" + name, gone);
            if (!gone && size >= bytes) return true;
        }
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            return false;
        }
    }
    return false;
}

// Every file in a folder by name, with its bytes (temporary files included, so none can hide).
inline std::map<std::string, std::string> filesIn(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const std::string& name : testsupport::listDirectory(folder)) {
        files[name] = testsupport::readFile(folder + "/" + name);
    }
    return files;
}

// Whether the file at `path` holds `expected`; a failure names the sizes, not the bytes, which
// may run to hundreds of MiB.
inline ::testing::AssertionResult holds(const std::string& path, const std::string& expected) {
    const std::string content = testsupport::readFile(path);
    if (content == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << path << " holds " << content.size() << " bytes"
           << (content.size() <= 64 ? " \"" + content + "\"" : std::string()) << ", not the "
           << expected.size() << " expected";
}

// A test with its own working directory, where containers are written and the program runs.
class E2eTest : public ::testing::Test {
  protected:
    testsupport::RunResult run(const std::vector<std::string>& arguments,
                               testsupport::RunOptions options = {}) {
        if (options.directory.empty()) options.directory = dir.path();
        return testsupport::runProgram(arguments, options);
    }
    // Runs kx from the same build as the program under test.
    testsupport::RunResult kx(const std::vector<std::string>& arguments,
                              testsupport::RunOptions options = {}) {
        options.program = testsupport::kxUnderTest();
        return run(arguments, options);
    }
    // Writes the container as "a.dz" (or `name`) in the working directory.
    void write(const testsupport::ContainerImage& image, const std::string& name = "a.dz") {
        ASSERT_TRUE(image.writeTo(dir / name));
    }
    void write(const std::string& bytes, const std::string& name = "a.dz") {
        ASSERT_TRUE(testsupport::writeFile(dir / name, bytes));
    }
    // Changes the byte at `at` of the file `name` in the working directory, in place.
    void poke(const std::string& name, std::size_t at) {
        std::string bytes = testsupport::readFile(dir / name);
        bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
        ASSERT_TRUE(testsupport::writeFile(dir / name, bytes));
    }

    testsupport::TempDir dir;
};

}  // namespace e2e

// The memory bound and where it comes from: sizes of memory as kx takes them, a control group's
// files and their text, the default bound, and rooms whose commits count against a bound.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kx/text.h"
#include "platform/memory_limit.h"
#include "platform/platform.h"

namespace {

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = kKiB * 1024;
constexpr std::uint64_t kGiB = kMiB * 1024;

TEST(MemorySize, TextsAndTheirBytes) {
    struct Case {
        const char* text;
        bool good;
        std::uint64_t bytes;
    };
    const Case cases[] = {
        {"1048576", true, kMiB},
        {"512M", true, 512 * kMiB},
        {"512m", true, 512 * kMiB},
        {"2GiB", true, 2 * kGiB},
        {"2gib", true, 2 * kGiB},
        {"64KiB", true, 64 * kKiB},
        {"3k", true, 3 * kKiB},
        {"1", true, 1},
        {"1K", true, kKiB},
        {"1KIB", true, kKiB},
        {"1Kib", true, kKiB},
        {"1MiB", true, kMiB},
        {"1G", true, kGiB},
        {"18014398509481983K", true, 18014398509481983 * kKiB},  // the largest of each unit
        {"18014398509481984K", false, 0},
        {"17592186044415M", true, 17592186044415 * kMiB},
        {"17592186044416M", false, 0},
        {"17179869183G", true, 17179869183 * kGiB},
        {"17179869184G", false, 0},
        {"18446744073709551615", true, UINT64_MAX},
        {"18446744073709551616", false, 0},
        {"18446744073709551617", false, 0},  // 1 after a wrap past 64 bits
        {"99999999999999999999", false, 0},
        {"00000000000000000000001", true, 1},
        {"0", false, 0},
        {"0M", false, 0},
        {"", false, 0},
        {"M", false, 0},
        {"1.5G", false, 0},
        {"-1", false, 0},
        {" 8M", false, 0},
        {"8M ", false, 0},
        {"8MB", false, 0},
        {"8Mi", false, 0},
        {"8T", false, 0},
        {"8KiBB", false, 0},
        {"8iB", false, 0},
        {"8XiB", false, 0},
        {"8B", false, 0},
        {"8/", false, 0},
        {"8:", false, 0},
    };
    for (const Case& c : cases) {
        std::uint64_t bytes = 0;
        EXPECT_EQ(kx::sizeOfText(c.text, bytes), c.good) << c.text;
        EXPECT_EQ(bytes, c.bytes) << c.text;
    }
}

TEST(MemoryLimit, ControlGroupFileText) {
    struct Case {
        std::string text;
        std::uint64_t limit;
    };
    const Case cases[] = {
        {"max\n", UINT64_MAX},
        {"2147483648\n", 2 * kGiB},
        {"268435456", 256 * kMiB},
        {"9223372036854771712\n", 9223372036854771712u},  // cgroup v1 for no limit
        {"0\n", 0},
        {"", UINT64_MAX},
        {"\n", UINT64_MAX},
        {"12ab\n", UINT64_MAX},
        {"-1\n", UINT64_MAX},
        {"99999999999999999999\n", UINT64_MAX},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::cgroupLimitFromText(c.text), c.limit) << c.text;
    }
}

TEST(MemoryLimit, ControlGroupFilesOfTheProcess) {
    struct Case {
        std::string text;  // of /proc/self/cgroup
        std::vector<std::string> files;
    };
    const Case cases[] = {
        {"0::/\n", {"/memory.max"}},
        {"0::/kxtest\n", {"/kxtest/memory.max", "/memory.max"}},
        {"0::/user.slice/a.scope\n",
         {"/user.slice/a.scope/memory.max", "/user.slice/memory.max", "/memory.max"}},
        {"0::/a/b/", {"/a/b/memory.max", "/a/memory.max", "/memory.max"}},
        {"12:cpu,cpuacct:/x\n4:memory:/docker/ab\n1:name=systemd:/y\n",
         {"/memory/docker/ab/memory.limit_in_bytes", "/memory/docker/memory.limit_in_bytes",
          "/memory/memory.limit_in_bytes"}},
        {"7:cpu,memory:/g\n0::/h\n",
         {"/memory/g/memory.limit_in_bytes", "/memory/memory.limit_in_bytes", "/h/memory.max",
          "/memory.max"}},
        {"4:memoryx:/g\n3:hugetlb:/g\n", {}},
        {"0::/../escape\n", {}},
        {"0::relative\n", {}},
        {"garbage\n", {}},
        {"", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::cgroupLimitFiles(c.text), c.files) << c.text;
    }
}

TEST(MemoryLimit, DefaultBound) {
    struct Case {
        std::uint64_t limit;
        std::uint64_t bound;
    };
    const Case cases[] = {
        {UINT64_MAX, UINT64_MAX},           // nothing known: no bound
        {2 * kGiB, 2 * kGiB - 256 * kMiB},  // an eighth kept
        {16 * kGiB, 14 * kGiB},
        {256 * kMiB, 192 * kMiB},  // at least 64 MiB kept
        {512 * kMiB, 448 * kMiB},
        {128 * kMiB, 64 * kMiB},  // half, where 64 MiB would leave less
        {100 * kMiB, 50 * kMiB},
        {0, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::defaultMemoryBound(c.limit), c.bound) << c.limit;
}

TEST(MemoryBound, CommitsCountBeforeTheyAreTouched) {
    platform::MemoryBound bound(64 * kKiB);
    platform::Memory first = platform::Memory::reserve(1 * kMiB, &bound);
    ASSERT_NE(first.bytes(), nullptr);
    EXPECT_EQ(first.committed(), 0u);
    platform::Memory second = platform::Memory::reserve(1 * kMiB, &bound);
    enum Call { kCommit, kWhatFits, kTrim };
    struct Step {
        platform::Memory* room;
        Call call;
        std::size_t size;
        bool result;  // of a commit
        std::size_t committed;
        std::uint64_t taken;
    };
    const Step steps[] = {
        {&first, kCommit, 1, true, 4096, 4096},  // a page at a time
        {&first, kCommit, 4096, true, 4096, 4096},
        {&first, kCommit, 4097, true, 8192, 8192},
        {&first, kCommit, 64 * kKiB + 1, false, 8192, 8192},  // past the bound: nothing taken
        {&first, kWhatFits, 40 * kKiB, true, 40 * kKiB, 40 * kKiB},
        {&second, kCommit, 24 * kKiB, true, 24 * kKiB, 64 * kKiB},
        {&second, kCommit, 24 * kKiB + 1, false, 24 * kKiB, 64 * kKiB},
        {&second, kWhatFits, 1 * kMiB, true, 24 * kKiB, 64 * kKiB},  // none left
        {&first, kTrim, 5000, true, 8192, 32 * kKiB},
        {&second, kWhatFits, 1 * kMiB, true, 56 * kKiB, 64 * kKiB},  // all that was given back
        {&second, kTrim, 0, true, 0, 8192},
        {&second, kCommit, 2 * kMiB, false, 0, 8192},  // past the room
    };
    for (std::size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        const Step& s = steps[i];
        if (s.call == kCommit) {
            EXPECT_EQ(s.room->commit(s.size), s.result) << "step " << i;
        } else if (s.call == kWhatFits) {
            EXPECT_EQ(s.room->commitWhatFits(s.size), s.committed) << "step " << i;
        } else {
            s.room->trim(s.size);
        }
        EXPECT_EQ(s.room->committed(), s.committed) << "step " << i;
        EXPECT_EQ(bound.taken(), s.taken) << "step " << i;
    }
    // What a room has committed is usable, and trimmed pages read as zeros again.
    first.bytes()[8191] = 7;
    first.commit(12 * kKiB);
    first.bytes()[8192] = 9;
    first.trim(8192);
    ASSERT_TRUE(first.commit(12 * kKiB));
    EXPECT_EQ(first.bytes()[8191], 7);
    EXPECT_EQ(first.bytes()[8192], 0);
    // A room gives back what it holds when it goes.
    second = platform::Memory();
    first = platform::Memory();
    EXPECT_EQ(bound.taken(), 0u);
}

}  // namespace

// The public API over containers made here: the survey as its plain structures, and every
// entry proven whole and a piece at a time with the same verdict, the content read piece by
// piece byte for byte; a container that cannot be opened or that is cut short; and the piece
// by piece reading and writing in flat memory.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrix/kestrix.h"
#include "tests/support/container_writer.h"

namespace {

namespace fs = std::filesystem;
using kestrix::PastEnd;
using kestrix::Reason;
using testsupport::noise;
using testsupport::SubfilePlan;

// The content read through an EntryReader, `chunk` bytes at a time.
std::string readAll(const kestrix::Container& container, std::uint32_t index, PastEnd pastEnd,
                    std::size_t chunk, kestrix::Proof& proof) {
    kestrix::EntryReader reader(container, index, pastEnd);
    std::string content;
    std::vector<char> buffer(chunk);
    while (std::size_t n = reader.read(buffer.data(), buffer.size()))
        content.append(buffer.data(), n);
    EXPECT_TRUE(reader.done());
    proof = reader.proof();
    return content;
}

struct Planned {
    SubfilePlan subfile;
    Reason survey;
    Reason proofWithZeros;
    Reason proofWithReadFault;
};

TEST(PublicApi, SurveysAndProvesEveryEntryWholeAndPieceByPiece) {
    const std::string text = noise(150 * 1024, 1);
    std::string damaged = testsupport::deflateContent(text, false);
    damaged[damaged.size() / 2] ^= 0x10;
    const std::string whole = testsupport::deflateContent(text, true);
    std::vector<Planned> planned = {
        {{"boot.img", 1, noise(300 * 1024, 2)}, Reason::ok, Reason::ok, Reason::ok},
        {{"modem.bin", 2, noise(70 * 1024, 3)}, Reason::ok, Reason::ok, Reason::ok},
        {{"modem.bin", 2, std::string(90 * 1024, 'm')}, Reason::ok, Reason::ok, Reason::ok},
        {{"wrong-digest.bin", 3, text}, Reason::ok, Reason::contentDigest, Reason::contentDigest},
        {{"damaged.bin", 3, text}, Reason::ok, Reason::unpack, Reason::unpack},
        {{"trailing.bin", 3, text}, Reason::ok, Reason::ok, Reason::ok},
        {{"cut.bin", 3, text}, Reason::ok, Reason::unpack, Reason::unpack},
        {{"../escape", 3, "x"}, Reason::fileName, Reason::fileName, Reason::fileName},
        {{"empty", 4, ""}, Reason::ok, Reason::ok, Reason::ok},
        {{"past-end.bin", 5, text}, Reason::ok, Reason::ok, Reason::read},
    };
    planned[2].subfile.gzip = true;
    planned[3].subfile.packed = testsupport::deflateContent(noise(150 * 1024, 4), false);
    planned[4].subfile.packed = damaged;
    planned[5].subfile.packed = whole + "trailing bytes";
    planned[6].subfile.packed = whole.substr(0, whole.size() - 9);
    testsupport::ContainerPlan plan;
    for (const Planned& p : planned) plan.subfiles.push_back(p.subfile);
    // The last entry's size claims its data runs 100 bytes past the end of the container.
    testsupport::ContainerImage image = testsupport::buildContainer(plan);
    const std::uint64_t lastData = image.subfileAt.back() + 196;
    plan.subfiles.back().packedSize = static_cast<std::uint32_t>(image.length - lastData + 100);
    // One more entry at the first one's offset: its bytes overlap that one's.
    plan.entries.emplace();
    for (std::size_t i = 0; i < planned.size(); ++i) {
        plan.entries->emplace_back(plan.subfiles[i].type,
                                   static_cast<std::uint32_t>(image.subfileAt[i]));
    }
    plan.entries->emplace_back(9, static_cast<std::uint32_t>(image.subfileAt[0]));
    planned.push_back({{"boot.img", 9, planned[0].subfile.content},
                       Reason::overlap,
                       Reason::overlap,
                       Reason::overlap});
    image = testsupport::buildContainer(plan);
    const std::string path = (fs::temp_directory_path() / "kestrix-library-test.dz").string();
    ASSERT_TRUE(image.writeTo(path));

    kestrix::Container container;
    std::string error;
    ASSERT_TRUE(container.open(path, error)) << error;
    const kestrix::MainHeader& header = container.mainHeader();
    EXPECT_EQ(header.verdict, Reason::ok);
    EXPECT_EQ(
        header.phoneModel + "|" + header.internalName + "|" + header.chip + "|" + header.fileName,
        "KX100|KX100AT-00-V10a-EUR-XX|QSD8650|KX100AT-00-V10a.dz");
    EXPECT_EQ(std::to_string(header.version) + " " + std::to_string(header.subfileCount) + " " +
                  std::to_string(header.creationTime),
              "2 10 129143443100000000");
    EXPECT_EQ(header.raw, image.flat().substr(0, 300));
    EXPECT_EQ(container.table().verdict, Reason::ok);
    EXPECT_FALSE(container.table().cutShort);
    EXPECT_EQ(container.length(), image.length);
    EXPECT_FALSE(container.good());

    ASSERT_EQ(container.entries().size(), planned.size());
    for (std::uint32_t i = 0; i < planned.size(); ++i) {
        const Planned& p = planned[i];
        const kestrix::Entry& entry = container.entries()[i];
        SCOPED_TRACE(p.subfile.name);
        EXPECT_EQ(entry.index, i);
        EXPECT_EQ(entry.type, p.subfile.type);
        EXPECT_EQ(entry.offset, image.subfileAt[i < image.subfileAt.size() ? i : 0]);
        EXPECT_EQ(entry.name, p.subfile.name);
        EXPECT_EQ(std::string(entry.digest.begin(), entry.digest.end()),
                  testsupport::md5Of(p.subfile.content));
        EXPECT_EQ(entry.reason, p.survey);
        for (PastEnd pastEnd : {PastEnd::zeros, PastEnd::readFault}) {
            const Reason expected =
                pastEnd == PastEnd::zeros ? p.proofWithZeros : p.proofWithReadFault;
            const std::uint64_t size = expected == Reason::ok ? p.subfile.content.size() : 0;
            // Whole, streamed, and read 1000 bytes at a time: one verdict and size for all.
            const kestrix::Proof whole = container.prove(i, pastEnd);
            const kestrix::Proof streamed = kestrix::proveStreaming(container, i, pastEnd);
            kestrix::Proof pieces;
            const std::string content = readAll(container, i, pastEnd, 1000, pieces);
            for (const kestrix::Proof& proof : {whole, streamed, pieces}) {
                EXPECT_EQ(proof.reason, expected);
                EXPECT_EQ(proof.unpackedSize, size);
            }
            if (expected == Reason::ok || p.survey != Reason::ok) {
                EXPECT_TRUE(content == (expected == Reason::ok ? p.subfile.content : ""));
            }
        }
    }
    // All of them at once, their digests side by side (more entries than lanes, so ended ones
    // give their places to the next), asked in reverse and one twice: the same verdicts, each
    // told once as it ends; in one call, and a step at a time, the smallest step first (a
    // round: a slice of each entry in hand, less than the largest content).
    std::vector<std::uint32_t> indexes;
    for (std::uint32_t i = static_cast<std::uint32_t>(planned.size()); i-- > 0;) {
        indexes.push_back(i);
    }
    indexes.push_back(0);
    for (PastEnd pastEnd : {PastEnd::zeros, PastEnd::readFault}) {
        for (const std::uint64_t step : {std::uint64_t{0}, std::uint64_t{512 * 1024}, UINT64_MAX}) {
            SCOPED_TRACE(step);
            std::vector<int> told(indexes.size());
            const auto each = [&](std::size_t position, const kestrix::Proof& proof) {
                ++told.at(position);
                EXPECT_EQ(proof.reason, container.prove(indexes[position], pastEnd).reason);
            };
            std::vector<kestrix::Proof> many;
            if (step == UINT64_MAX) {
                many = kestrix::proveStreamingMany(container, indexes, each, pastEnd);
            } else {
                kestrix::StepwiseProver prover(container, indexes, each, pastEnd);
                std::size_t steps = 1;
                while (prover.step(step)) {
                    // boot.img (the last but one asked) is not yet whole after the first round.
                    if (steps++ == 1 && step == 0) {
                        EXPECT_EQ(told[indexes.size() - 2], 0);
                        EXPECT_EQ(prover.proofs()[indexes.size() - 2].reason, Reason::read);
                    }
                }
                EXPECT_GE(steps, 2u);
                EXPECT_FALSE(prover.step(step));
                many = prover.proofs();
            }
            ASSERT_EQ(many.size(), indexes.size());
            for (std::size_t position = 0; position < indexes.size(); ++position) {
                const Planned& p = planned[indexes[position]];
                SCOPED_TRACE(p.subfile.name);
                const Reason expected =
                    pastEnd == PastEnd::zeros ? p.proofWithZeros : p.proofWithReadFault;
                EXPECT_EQ(told[position], 1);
                EXPECT_EQ(many[position].reason, expected);
                EXPECT_EQ(many[position].unpackedSize,
                          expected == Reason::ok ? p.subfile.content.size() : 0);
            }
        }
    }
    EXPECT_THROW(kestrix::proveStreamingMany(container, {0, 99}), std::out_of_range);
    EXPECT_THROW(kestrix::StepwiseProver(container, {0, 99}), std::out_of_range);

    // The two modem entries make one file; the refused name makes none; the overlapping entry
    // stays a piece of its name's file.
    const auto outputOf = [&](std::uint32_t i) {
        const kestrix::Entry& e = container.entries()[i];
        return e.outputName + " " + std::to_string(e.output) + " " + std::to_string(e.piece) + "/" +
               std::to_string(e.pieces);
    };
    EXPECT_EQ(outputOf(0) + ", " + outputOf(10), "boot.img 0 1/2, boot.img 0 2/2");
    EXPECT_EQ(outputOf(1) + ", " + outputOf(2), "modem.bin 1 1/2, modem.bin 1 2/2");
    EXPECT_EQ(outputOf(7), " -1 0/0");
    ASSERT_EQ(container.outputs().size(), 8u);
    EXPECT_EQ(container.outputs()[1].name, "modem.bin");
    EXPECT_EQ(container.outputs()[1].pieces, (std::vector<std::uint32_t>{1, 2}));
    EXPECT_THROW(container.prove(static_cast<std::uint32_t>(planned.size())), std::out_of_range);
    EXPECT_THROW(kestrix::EntryReader(container, 99), std::out_of_range);

    // Held while the Container lives, like the programs hold it.
    kestrix::Container again;
    EXPECT_FALSE(again.open(path, error));
    EXPECT_EQ(error, "another program holds it");
    container = kestrix::Container();
    fs::remove(path);
}

TEST(PublicApi, SaysWhyAContainerCannotBeOpenedOrSeemsCutShort) {
    kestrix::Container container;
    std::string error;
    const fs::path missing = fs::temp_directory_path() / "kestrix-library-test-missing.dz";
    EXPECT_FALSE(container.open(missing.string(), error));
#ifndef _WIN32
    EXPECT_EQ(error, "No such file or directory");
#endif
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(container.good());
    EXPECT_TRUE(container.entries().empty());
    EXPECT_THROW(container.prove(0), std::out_of_range);

    testsupport::ContainerPlan plan;
    plan.subfiles = {{"a.bin", 1, noise(4000, 5)}, {"b.bin", 1, noise(4000, 6)}};
    const std::string bytes = testsupport::buildContainer(plan).flat();
    const std::string path = (fs::temp_directory_path() / "kestrix-library-test-cut.dz").string();
    ASSERT_TRUE(testsupport::writeFile(path, bytes.substr(0, bytes.size() / 2)));
    ASSERT_TRUE(container.open(path, error)) << error;
    EXPECT_EQ(container.mainHeader().verdict, Reason::ok);
    EXPECT_EQ(container.table().verdict, Reason::tableEndMarker);
    EXPECT_TRUE(container.table().cutShort);
    EXPECT_TRUE(container.entries().empty());
    EXPECT_STREQ(kestrix::reasonCode(container.table().verdict), "table-end-marker");
    EXPECT_STREQ(kestrix::reasonText(Reason::overlap), "its bytes overlap an earlier sub-file's");
    container = kestrix::Container();
    fs::remove(path);
}

// proveAll's proofs stand in the order asked, whichever worker took which entry and however
// long each took (two large entries, so that one worker still works when the other is done),
// with the prover and with the contents handed over.
TEST(PublicApi, ProvesManyEntriesAtOnceInTheOrderAsked) {
    constexpr std::size_t kLarge = 4u << 20;
    testsupport::ContainerPlan plan;
    plan.subfiles = {{"small.bin", 1, noise(3000, 8)},
                     {"large.img", 1, noise(kLarge, 9)},
                     {"other.img", 1, noise(kLarge, 11)},
                     {"tiny.bin", 2, noise(10, 10)}};
    const testsupport::ContainerImage image = testsupport::buildContainer(plan);
    std::string bytes = image.flat();
    bytes[image.subfileAt[3] + 170] ^= 1;  // tiny.bin's content digest
    testsupport::reseal(bytes, image.subfileAt[3], 180);
    const std::string path = (fs::temp_directory_path() / "kestrix-library-test-all.dz").string();
    ASSERT_TRUE(testsupport::writeFile(path, bytes));
    kestrix::Container container;
    std::string error;
    ASSERT_TRUE(container.open(path, error)) << error;
    const std::vector<std::uint32_t> asked = {3, 0, 1, 2, 0};
    const std::vector<std::size_t> sizes = {0, 3000, kLarge, kLarge, 3000};
    for (int round = 0; round < 8; ++round) {
        for (bool handed : {false, true}) {
            std::vector<std::size_t> contents(asked.size());
            const auto each = [&](std::size_t at, const kestrix::Proof&, kestrix::Content& c) {
                contents[at] = c.size();
            };
            const std::vector<kestrix::Proof> proofs =
                handed ? kestrix::proveAll(container, asked, 2, each)
                       : kestrix::proveAll(container, asked, 2);
            ASSERT_EQ(proofs.size(), asked.size());
            EXPECT_EQ(proofs[0].reason, Reason::contentDigest);
            for (std::size_t i = 0; i < asked.size(); ++i) {
                EXPECT_EQ(proofs[i].unpackedSize, sizes[i]) << i << (handed ? " handed" : "");
            }
            if (handed) {
                EXPECT_EQ(contents, sizes);
            }
        }
    }
    EXPECT_THROW(kestrix::proveAll(container, {4}), std::out_of_range);

    // Unpacked together, two to eight at once (the same entry again among them), as each alone.
    const std::vector<std::vector<std::uint32_t>> sets = {
        {0}, {1, 2}, {3, 0, 1}, {2, 3, 1, 0, 2, 1, 0, 3}};
    for (const std::vector<std::uint32_t>& together : sets) {
        std::vector<kestrix::Content> contents(together.size());
        const std::vector<kestrix::Proof> proofs = container.unpackTogether(together, contents);
        ASSERT_EQ(proofs.size(), together.size());
        for (std::size_t i = 0; i < together.size(); ++i) {
            const std::uint32_t index = together[i];
            const std::string content(reinterpret_cast<const char*>(contents[i].data()),
                                      contents[i].size());
            EXPECT_EQ(proofs[i].reason, index == 3 ? Reason::contentDigest : Reason::ok) << index;
            EXPECT_EQ(content, index == 3 ? "" : plan.subfiles[index].content) << index;
        }
    }
    std::vector<kestrix::Content> two(2), nine(9);
    EXPECT_THROW(container.unpackTogether({0, 1, 2}, two), std::invalid_argument);
    EXPECT_THROW(container.unpackTogether({0, 0, 0, 0, 0, 0, 0, 0, 0}, nine),
                 std::invalid_argument);
    EXPECT_THROW(container.unpackTogether({0, 4}, two), std::out_of_range);
    container = kestrix::Container();
    fs::remove(path);
}

// An entry of 256 MiB is read piece by piece within an address space that cannot hold it, where
// the proof whole in memory fails for memory and a small one's passes. AddressSanitizer cannot run
// under such a limit, and Windows has none.
#if !defined(__SANITIZE_ADDRESS__) && !defined(_WIN32)
// In a child: limits the address space to what it takes now and 64 MiB more, as a 32-bit
// system would, then proves the zeros piece by piece, which must pass, and whole, which must
// fail for memory; a small entry proven whole still passes, in the room the address space gives;
// and the zeros are written whole into `folder`.
void proveUnderTheBound(const std::string& path, const std::string& folder) {
    std::ifstream status("/proc/self/status");
    std::string line;
    std::uint64_t kib = 0;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) kib = std::stoull(line.substr(7));
    }
    const rlim_t limit = (kib << 10) + (std::uint64_t{64} << 20);
    const rlimit bound = {limit, limit};
    setrlimit(RLIMIT_AS, &bound);
    kestrix::Container container;
    std::string error;
    if (!container.open(path, error)) std::_Exit(2);
    const kestrix::Proof streamed = kestrix::proveStreaming(container, 0);
    const kestrix::Proof whole = container.prove(0);
    const kestrix::Proof small = container.prove(1);
    const bool flat = streamed.reason == Reason::ok && streamed.unpackedSize == 256u << 20;
    const bool fits = small.reason == Reason::ok && small.unpackedSize == 100 * 1024;
    const std::vector<kestrix::Written> written = kestrix::writeOutputs(container, folder, {0});
    const bool wrote = written.size() == 1 && written[0].outcome == kestrix::Outcome::extracted &&
                       written[0].size == 256u << 20;
    std::_Exit(flat && whole.reason == Reason::unpackedMemory && fits && wrote ? 0 : 1);
}

TEST(PublicApi, ReadsAndWritesPieceByPieceInFlatMemory) {
    testsupport::ContainerPlan plan;
    plan.subfiles = {{"zeros.img", 1, std::string(std::size_t{256} << 20, '\0')},
                     {"small.bin", 2, noise(100 * 1024, 7)}};
    plan.subfiles[0].level = 1;
    const std::string path = (fs::temp_directory_path() / "kestrix-library-test-flat.dz").string();
    const std::string folder = path + ".out";
    ASSERT_TRUE(testsupport::buildContainer(plan).writeTo(path));
    plan.subfiles.clear();
    fs::remove_all(folder);
    EXPECT_EXIT(proveUnderTheBound(path, folder), testing::ExitedWithCode(0), "");
    EXPECT_EQ(fs::file_size(fs::path(folder) / "zeros.img"), std::uintmax_t{256} << 20);
    fs::remove_all(folder);
    fs::remove(path);
}
#endif

}  // namespace

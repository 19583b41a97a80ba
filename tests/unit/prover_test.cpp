// Proving sub-files on several threads: each entry's result and bytes are the same however many
// threads there are and wherever its memory came from, a sub-file too large for where it was
// first put is tried again in a room of its own, each entry is reported inflated and proven
// exactly once, and an entry that comes after another is begun only once that one is inflated;
// the sub-files in hand stay within the memory budget, bar one larger than it, proven alone.
#include "dzlib/prover.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "dzlib/survey.h"
#include "tests/support/container_writer.h"

namespace {

namespace fs = std::filesystem;
using testsupport::SubfilePlan;

std::string noise(std::size_t length, std::uint32_t seed) {
    std::string bytes(length, '\0');
    for (char& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}

TEST(ProverTest, EveryEntryIsProvenOnceWhereverItsMemoryCameFrom) {
    std::vector<SubfilePlan> subfiles = {
        {"noise.bin", 1, noise(300 * 1024, 1)},
        {"zeros.img", 1, std::string(6 * 1024 * 1024 + 13, '\0')},  // grows far more than the rest
        {"wrong-digest.bin", 1, noise(200 * 1024, 2)},
        {"damaged.bin", 1, noise(100 * 1024, 3)},
        {"text.txt", 1, std::string(10000, 'k')},
        {"empty", 1, ""},
        {"more-noise.bin", 1, noise(700 * 1024 + 13, 4)},
    };
    subfiles[2].packed = testsupport::deflateContent(noise(200 * 1024, 5), false);
    subfiles[3].packed = noise(30 * 1024, 6);
    const std::map<std::string, dz::Proof> expected = {
        {"noise.bin", {dz::Fault::none, 300 * 1024}},
        {"zeros.img", {dz::Fault::none, 6 * 1024 * 1024 + 13}},
        {"wrong-digest.bin", {dz::Fault::contentDigest, 0}},
        {"damaged.bin", {dz::Fault::unpack, 0}},
        {"text.txt", {dz::Fault::none, 10000}},
        {"empty", {dz::Fault::none, 0}},
        {"more-noise.bin", {dz::Fault::none, 700 * 1024 + 13}},
    };
    testsupport::ContainerPlan plan;
    plan.subfiles = subfiles;
    const fs::path path = fs::temp_directory_path() / "kestrix-prover-test.dz";
    ASSERT_TRUE(testsupport::buildContainer(plan).writeTo(path.string()));
    dz::Survey survey;
    std::string error;
    ASSERT_TRUE(dz::surveyContainer(path.string(), survey, error)) << error;
    ASSERT_EQ(survey.plan.entries.size(), subfiles.size());
    std::vector<std::uint32_t> order;
    for (std::uint32_t i = 0; i < subfiles.size(); ++i) order.push_back(i);
    const std::vector<std::uint32_t> largestFirst = dz::largestFirst(survey, order);

    struct Case {
        std::string what;
        unsigned workers;
        dz::SharedRoom shared;
    };
    const std::vector<Case> cases = {
        {"one worker, no shared room", 1, {}},
        {"one worker, a shared room smaller than the zeros", 1, {1024 * 1024, false}},
        {"one worker, a shared room of 4 KiB", 1, {4096, false}},
        {"two workers, a shared room smaller than the zeros", 2, {1024 * 1024, true}},
        {"two workers, a shared room for all", 2, {64 * 1024 * 1024, true}},
        {"three workers, as kx test chooses", 3, dz::sharedRoomFor(survey, largestFirst, 3)},
        {"one inflate fewer with one worker", 1, {1024 * 1024, true}},
    };
    for (const Case& c : cases) {
        for (const auto& entries : {order, largestFirst}) {
            std::mutex mutex;
            std::map<std::string, std::vector<dz::Proof>> proofs;
            std::map<std::string, int> starts;
            std::map<std::string, std::vector<dz::Proof>> inflations;
            std::map<std::string, std::string> slices;
            // Every other entry comes after the one before it, as kx extract's joined pieces
            // do: their inflated calls must come in that order, each begun only once the one
            // before it was inflated.
            std::vector<std::uint32_t> chained;
            for (const std::uint32_t index : entries) {
                if (index % 2 == 0) chained.push_back(index);
            }
            std::vector<std::int64_t> predecessors(subfiles.size(), -1);
            for (std::size_t turn = 1; turn < chained.size(); ++turn) {
                predecessors[chained[turn]] = chained[turn - 1];
            }
            std::vector<std::uint32_t> chainInflated;  // in the order of their inflated calls
            const auto nameOf = [&](std::uint32_t index) { return subfiles[index].name; };
            dz::ProverCalls calls;
            calls.started = [&](std::uint32_t index) {
                const std::lock_guard<std::mutex> lock(mutex);
                ++starts[nameOf(index)];
                if (index % 2 == 0) {
                    // Begun only once every entry before it in the chain was inflated.
                    const auto turn = static_cast<std::size_t>(
                        std::find(chained.begin(), chained.end(), index) - chained.begin());
                    EXPECT_EQ(chainInflated.size(), turn) << c.what << ": " << nameOf(index);
                }
            };
            calls.inflated = [&](std::uint32_t index, const dz::Proof& proof) {
                const std::lock_guard<std::mutex> lock(mutex);
                inflations[nameOf(index)].push_back(proof);
                if (index % 2 == 0) chainInflated.push_back(index);
            };
            calls.digested = [&](std::uint32_t index, std::uint64_t at, const std::uint8_t* bytes,
                                 std::size_t length) {
                const std::lock_guard<std::mutex> lock(mutex);
                EXPECT_EQ(at, slices[nameOf(index)].size()) << c.what << ": " << nameOf(index);
                slices[nameOf(index)].append(reinterpret_cast<const char*>(bytes), length);
            };
            calls.proven = [&](std::uint32_t index, const dz::Proof& proof,
                               const std::uint8_t* bytes) {
                const std::lock_guard<std::mutex> lock(mutex);
                proofs[nameOf(index)].push_back(proof);
                if (proof.fault == dz::Fault::none && proof.length != 0) {
                    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), proof.length),
                              subfiles[index].content)
                        << c.what << ": " << nameOf(index);
                    EXPECT_EQ(slices[nameOf(index)], subfiles[index].content)
                        << c.what << ": " << nameOf(index);
                }
            };
            dz::proveEntries(survey, entries, predecessors, c.workers, c.shared, calls);
            EXPECT_EQ(chainInflated, chained) << c.what;
            for (const auto& [name, proof] : expected) {
                ASSERT_EQ(proofs[name].size(), 1u) << c.what << ": " << name;
                EXPECT_EQ(proofs[name][0].fault, proof.fault) << c.what << ": " << name;
                EXPECT_EQ(proofs[name][0].length, proof.length) << c.what << ": " << name;
                EXPECT_GE(starts[name], 1) << c.what << ": " << name;
                ASSERT_EQ(inflations[name].size(), 1u) << c.what << ": " << name;
                const bool inflated = proof.fault != dz::Fault::unpack;
                EXPECT_EQ(inflations[name][0].fault == dz::Fault::none, inflated) << name;
            }
        }
    }
    survey = dz::Survey();
    fs::remove(path);
}

TEST(ProverTest, NoSubfileIsBegunBeyondTheBudget) {
    // Noise never grows unpacked, so each one's likely size is no less than its own.
    constexpr std::size_t kKiB = 1024;
    const std::vector<std::size_t> lengths = {300 * kKiB, 1536 * kKiB, 200 * kKiB, 700 * kKiB,
                                              100 * kKiB, 500 * kKiB,  600 * kKiB};
    constexpr std::size_t kBudget = 1024 * kKiB;
    testsupport::ContainerPlan plan;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        std::string name = "n";  // appended, not "n" + ...: GCC 12 warns falsely of that
        name += std::to_string(i);
        plan.subfiles.push_back({name, 1, noise(lengths[i], static_cast<std::uint32_t>(i + 10))});
    }
    const fs::path path = fs::temp_directory_path() / "kestrix-prover-budget-test.dz";
    ASSERT_TRUE(testsupport::buildContainer(plan).writeTo(path.string()));
    dz::Survey survey;
    std::string error;
    ASSERT_TRUE(dz::surveyContainer(path.string(), survey, error)) << error;
    std::vector<std::uint32_t> order(lengths.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;

    for (const std::vector<std::uint32_t>& entries : {order, dz::largestFirst(survey, order)}) {
        std::mutex mutex;
        std::map<std::uint32_t, std::size_t> inHand;  // begun, not yet proven
        std::map<std::uint32_t, dz::Fault> faults;
        dz::ProverCalls calls;
        calls.started = [&](std::uint32_t index) {
            const std::lock_guard<std::mutex> lock(mutex);
            std::size_t held = lengths[index];
            for (const auto& [other, length] : inHand) held += length;
            if (!inHand.empty()) {
                EXPECT_LE(held, kBudget) << "entry " << index;
            }
            inHand[index] = lengths[index];
        };
        calls.proven = [&](std::uint32_t index, const dz::Proof& proof, const std::uint8_t*) {
            const std::lock_guard<std::mutex> lock(mutex);
            inHand.erase(index);
            faults[index] = proof.fault;
        };
        dz::proveEntries(survey, entries, /*predecessors=*/{}, 3,
                         {.size = 0, .oneInflateFewer = false, .budget = kBudget}, calls);
        ASSERT_EQ(faults.size(), lengths.size());
        for (const auto& [index, fault] : faults) EXPECT_EQ(fault, dz::Fault::none) << index;
    }
    survey = dz::Survey();
    fs::remove(path);
}

}  // namespace

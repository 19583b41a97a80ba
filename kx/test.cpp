// kx test: every check Kestrix makes, on every entry, writing nothing.
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <vector>

#include "dzlib/fault.h"
#include "dzlib/prover.h"
#include "dzlib/reasons.h"
#include "dzlib/survey.h"
#include "kx/commands.h"
#include "kx/console.h"
#include "kx/parallel.h"
#include "kx/progress.h"
#include "kx/report.h"
#include "kx/run_document.h"
#include "kx/text.h"
#include "platform/platform.h"

namespace kx {
namespace {

struct Result {
    dz::Fault fault = dz::Fault::none;
    bool unpacked = false;
    std::uint64_t unpackedSize = 0;
};

// "   3  modem.bin      1,172  ok": one entry's line, its columns as wide as the widest.
std::string resultLine(const dz::Survey& survey, std::uint32_t index, const Result& result,
                       std::size_t nameWidth) {
    const std::string name = shown(fieldOf(survey.plan.entries[index].header.name));
    char text[64];
    std::snprintf(text, sizeof text, "%4u  ", index + 1);
    std::string line = text + name + std::string(nameWidth - name.size(), ' ');
    const std::string size = result.unpacked ? withCommas(result.unpackedSize) : "-";
    line += std::string(size.size() < 15 ? 15 - size.size() : 0, ' ') + size + "  ";
    return line + dz::reasonCode(result.fault) + "\n";
}

// "a.dz: OK: 4 sub-files, 4,410 bytes unpacked and verified", or what failed.
std::string verdict(const dz::Survey& survey, const std::vector<Result>& results) {
    std::size_t failed = 0;
    std::uint64_t bytes = 0;
    for (const Result& result : results) {
        if (result.fault != dz::Fault::none) ++failed;
        bytes += result.unpackedSize;
    }
    const std::string subject = shown(survey.path) + ": ";
    const std::string count =
        std::to_string(results.size()) + " sub-file" + (results.size() == 1 ? "" : "s");
    if (survey.mainHeaderFault == dz::Fault::none && survey.tableFault == dz::Fault::none &&
        failed == 0) {
        return subject + "OK: " + count + ", " + withCommas(bytes) +
               " bytes unpacked and verified\n";
    }
    std::string what;
    if (survey.mainHeaderFault != dz::Fault::none) what += "the main header";
    if (survey.tableFault != dz::Fault::none) {
        what += std::string(what.empty() ? "" : ", ") + "the offset table";
    } else if (failed > 0) {
        what += std::string(what.empty() ? "" : ", ") + std::to_string(failed) + " of " + count;
    }
    return subject + "FAILED: " + what + "\n";
}

// The entries the test unpacks, each with its result so far (a fault of its header or name)
// and its weight in the progress line; the width of the name column.
struct TestPlan {
    std::vector<Result> results;
    std::vector<std::uint32_t> toUnpack;
    std::vector<std::uint64_t> weights;
    std::size_t nameWidth = 4;
};

TestPlan planTest(const dz::Survey& survey) {
    const std::size_t count = survey.plan.entries.size();
    TestPlan plan;
    plan.results.resize(count);
    plan.weights.assign(count, 0);
    for (std::uint32_t i = 0; i < count; ++i) {
        const dz::PlannedEntry& entry = survey.plan.entries[i];
        plan.results[i].fault = entry.fault;
        plan.nameWidth = std::max(plan.nameWidth, shown(fieldOf(entry.header.name)).size());
        if (entry.fault != dz::Fault::none) continue;
        plan.toUnpack.push_back(i);
        plan.weights[i] = entry.header.packedSize;
    }
    return plan;
}

// Unpacks and proves the entries to unpack, largest first, each result recorded and `ready`
// once it is proven.
void proveAll(const Options& options, const dz::Survey& survey, TestPlan& plan, bool lines,
              const std::function<void(std::uint32_t)>& ready) {
    Progress progress(lines && platform::standardErrorIsTerminal(), std::move(plan.weights));
    const std::vector<std::uint32_t> order = dz::largestFirst(survey, plan.toUnpack);
    const unsigned workers = workersFor(options);
    dz::ProverCalls calls;
    calls.started = [&](std::uint32_t index) {
        progress.working(index, fieldOf(survey.plan.entries[index].header.name));
    };
    calls.inflated = [&](std::uint32_t index, const dz::Proof& proof) {
        progress.sized(index, proof.length);
    };
    calls.digested = [&](std::uint32_t index, std::uint64_t at, const std::uint8_t*,
                         std::size_t length) { progress.done(index, at, length); };
    calls.proven = [&](std::uint32_t index, const dz::Proof& proof, const std::uint8_t*) {
        Result& result = plan.results[index];
        result.fault = proof.fault;
        result.unpacked = proof.fault == dz::Fault::none;
        result.unpackedSize = proof.length;
        progress.ended(index);
        ready(index);
    };
    platform::MemoryBound bound(memoryBoundFor(options));
    dz::proveEntries(survey, order, /*predecessors=*/{}, workers,
                     dz::sharedRoomFor(survey, order, workers, memoryBudgetFor(options)), calls,
                     &bound);
}

// The JSON document: the survey, and each entry with its result.
nlohmann::ordered_json testJson(const dz::Survey& survey, const std::vector<Result>& results,
                                bool good) {
    nlohmann::ordered_json json = surveyJson(survey, good);
    json["entries"] = nlohmann::ordered_json::array();
    std::uint64_t bytes = 0;
    for (std::uint32_t i = 0; i < results.size(); ++i) {
        nlohmann::ordered_json entry = entryJson(survey, i);
        entry["unpacked_size"] = results[i].unpacked
                                     ? nlohmann::ordered_json(results[i].unpackedSize)
                                     : nlohmann::ordered_json(nullptr);
        entry["status"] = dz::reasonCode(results[i].fault);
        json["entries"].push_back(entry);
        bytes += results[i].unpackedSize;
    }
    json["unpacked_bytes"] = bytes;
    return json;
}

// Says on standard error what failed: the survey's faults, then each entry's.
void sayFailures(const dz::Survey& survey, const std::vector<Result>& results) {
    printSurveyErrors(survey, /*entries=*/false);
    for (std::uint32_t i = 0; i < results.size(); ++i) {
        if (results[i].fault != dz::Fault::none) {
            printError(shown(survey.path),
                       entryLabel(survey, i) + ": " + dz::reasonText(results[i].fault));
        }
    }
}

}  // namespace

int runTest(const Options& options) {
    dz::Survey survey;
    if (!surveyOrSay(options.container, survey)) return kExitFailed;
    TestPlan plan = planTest(survey);
    const std::vector<Result>& results = plan.results;
    const std::size_t count = results.size();

    const bool lines = !options.json && !options.quiet;
    if (lines)
        printOut("   #  " + std::string("name") + std::string(plan.nameWidth - 4, ' ') +
                 "         unpacked  result\n");
    InOrder printer(count);
    const auto ready = [&](std::uint32_t index) {
        printer.ready(index, [&, index] {
            if (lines) printOut(resultLine(survey, index, results[index], plan.nameWidth));
        });
    };
    for (std::uint32_t i = 0; i < count; ++i) {
        if (results[i].fault != dz::Fault::none) ready(i);
    }
    proveAll(options, survey, plan, lines, ready);

    bool good = survey.mainHeaderFault == dz::Fault::none && survey.tableFault == dz::Fault::none;
    for (const Result& result : results) good = good && result.fault == dz::Fault::none;
    if (options.json) {
        printDocument(testJson(survey, results, good));
    } else {
        printOut(verdict(survey, results));
    }
    sayFailures(survey, results);
    return good ? kExitGood : kExitFailed;
}

}  // namespace kx

// Reading the table's headers ahead and grouping the entries into outputs.
#include "dzlib/plan.h"

#include <map>

#include "dzlib/checks.h"
#include "dzlib/output_name.h"
#include "platform/platform.h"

namespace dz {

ExtractionPlan planExtraction(const Container& container, const OffsetTable& table,
                              HeaderReading reading, std::size_t longestName) {
    ExtractionPlan plan;
    const std::uint32_t count =
        table.count <= kLargestEntryCount ? table.count : kLargestEntryCount;
    plan.entries.resize(count);
    std::map<std::string, int> outputByKey;
    SubfileHeader header{};
    for (std::uint32_t i = 0; i < count; ++i) {
        PlannedEntry& planned = plan.entries[i];
        planned.entry = table.entries[i];
        if (reading == HeaderReading::fresh) header = SubfileHeader{};
        planned.fault = verifySubfileHeader(container, planned.entry.offset, header);
        planned.header = header;
        if (planned.fault != Fault::none) continue;

        planned.outputName = outputNameFor(header.name, sizeof header.name);
        if (planned.outputName.empty() || planned.outputName.size() > longestName) {
            planned.outputName.clear();
            planned.fault = Fault::fileName;
            continue;
        }
        auto [found, added] = outputByKey.try_emplace(platform::fileNameKey(planned.outputName),
                                                      static_cast<int>(plan.outputs.size()));
        if (added) plan.outputs.push_back({planned.outputName, {}});
        planned.output = found->second;
        plan.outputs[static_cast<std::size_t>(planned.output)].pieces.push_back(i);
    }
    return plan;
}

PiecePlace pieceOf(const ExtractionPlan& plan, std::uint32_t index) {
    const PlannedEntry& entry = plan.entries[index];
    if (entry.output < 0) return {};
    const auto& pieces = plan.outputs[static_cast<std::size_t>(entry.output)].pieces;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i] == index) return {i + 1, pieces.size()};
    }
    return {};
}

Region regionOf(const PlannedEntry& entry) {
    const std::uint64_t begin = entry.entry.offset;
    return {begin, begin + kSubfileDataOffset + entry.header.packedSize};
}

}  // namespace dz

// A policy for the deflate code walks (dzlib/deflate_check.h) that writes down every question a
// walk asks it, so that two walks can be held to asking the same ones; the unit tests and the
// walk fuzz target share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dzlib/deflate_check.h"
#include "dzlib/inflate_libdeflate.h"

namespace testsupport {

// Answers as `inner` does, and also stops the walk at block number `stopAt` (counted from 0
// among the blocks the walk asks about; never by default). Each question and its answer is one
// line of log().
class RecordingPolicy final : public dz::CodeWalkPolicy {
  public:
    explicit RecordingPolicy(dz::CodeWalkPolicy& inner, std::size_t stopAt = SIZE_MAX)
        : inner_(inner), stopAt_(stopAt) {}

    bool stopBefore(const dz::CodedBlock& block) override {
        const bool stop = inner_.stopBefore(block) || asked_++ == stopAt_;
        log_.push_back("stop before " + describe(block) + "? " + (stop ? "yes" : "no"));
        return stop;
    }
    std::size_t codeBitsAllowed() const override { return inner_.codeBitsAllowed(); }
    void blockEnded(const dz::CodedBlock& block) override {
        log_.push_back("ended " + describe(block) + " at " + std::to_string(block.end));
        inner_.blockEnded(block);
    }

    const std::vector<std::string>& log() const { return log_; }

  private:
    static std::string describe(const dz::CodedBlock& block) {
        // Appended piece by piece: GCC 12 warns wrongly about "text" + std::string.
        std::string text = block.dynamic ? "dynamic" : "fixed";
        if (block.dynamic) {
            text.append(block.literalsOnly ? " literals only, " : ", ");
            text.append(std::to_string(block.literalCodewords)).append(" codewords,");
        }
        text.append(" from ").append(std::to_string(block.start));
        return text.append(", codes from ").append(std::to_string(block.codesStart));
    }

    dz::CodeWalkPolicy& inner_;
    std::size_t stopAt_;
    std::size_t asked_ = 0;
    std::vector<std::string> log_;
};

// Allows each block's codes the same number of bits, and never stops a walk; writes down how
// many bits each block's codes took.
class BitBudgetPolicy final : public dz::CodeWalkPolicy {
  public:
    explicit BitBudgetPolicy(std::size_t budget = SIZE_MAX) : budget_(budget) {}
    bool stopBefore(const dz::CodedBlock&) override { return false; }
    std::size_t codeBitsAllowed() const override { return budget_; }
    void blockEnded(const dz::CodedBlock& block) override {
        codeBits_.push_back(block.end - block.codesStart);
    }
    const std::vector<std::size_t>& codeBits() const { return codeBits_; }

  private:
    std::size_t budget_;
    std::vector<std::size_t> codeBits_;
};

inline const char* walkName(dz::CodeWalk walk) {
    switch (walk) {
        case dz::CodeWalk::kRead:
            return "read";
        case dz::CodeWalk::kRefused:
            return "refused";
        case dz::CodeWalk::kStopped:
            return "stopped";
    }
    return "?";
}

// Walks the `size` bytes at `data` with walkDeflateCodes and walkDeflateCodesSimply, each with a
// fresh policy from makePolicy() under a RecordingPolicy that stops at `stopAt`. Returns "" when
// the two end alike and ask the same questions; else what differs.
template <typename MakePolicy>
std::string compareWalksUnder(const std::uint8_t* data, std::size_t size, MakePolicy makePolicy,
                              std::size_t stopAt) {
    auto fastInner = makePolicy();
    RecordingPolicy fast(fastInner, stopAt);
    const dz::CodeWalk fastEnd = dz::walkDeflateCodes(data, size, fast);
    auto simpleInner = makePolicy();
    RecordingPolicy simple(simpleInner, stopAt);
    const dz::CodeWalk simpleEnd = dz::walkDeflateCodesSimply(data, size, simple);
    if (fastEnd == simpleEnd && fast.log() == simple.log()) return "";
    std::string text =
        std::string("fast walk ") + walkName(fastEnd) + ", simple walk " + walkName(simpleEnd);
    const std::vector<std::string>& a = fast.log();
    const std::vector<std::string>& b = simple.log();
    for (std::size_t i = 0; i < a.size() || i < b.size(); ++i) {
        const std::string fastLine = i < a.size() ? a[i] : "(nothing)";
        const std::string simpleLine = i < b.size() ? b[i] : "(nothing)";
        if (fastLine != simpleLine) {
            text +=
                "; question " + std::to_string(i) + ": fast " + fastLine + ", simple " + simpleLine;
            break;
        }
    }
    return text;
}

// compareWalksUnder with the policies the walks are held to: the whole-stream one, also
// stopped at blocks 0, 1 and 3; a budget of bits for each block's codes of exactly what the
// codes of its first, second and last block take, one bit less and one more; and the libdeflate
// backend's for an output of each of `rooms` bytes and of SIZE_MAX. Returns "" when the walks
// agree under every one; else the first difference.
inline std::string compareWalks(const std::uint8_t* data, std::size_t size,
                                const std::vector<std::size_t>& rooms = {}) {
    BitBudgetPolicy measure;
    dz::walkDeflateCodesSimply(data, size, measure);
    std::vector<std::size_t> budgets;
    const std::vector<std::size_t>& taken = measure.codeBits();
    for (std::size_t block : {std::size_t{0}, std::size_t{1}, taken.size() - 1}) {
        if (block >= taken.size()) continue;
        for (std::size_t budget : {taken[block] - 1, taken[block], taken[block] + 1}) {
            budgets.push_back(budget);
        }
    }
    for (std::size_t budget : budgets) {
        const std::string differs = compareWalksUnder(
            data, size, [budget] { return BitBudgetPolicy(budget); }, SIZE_MAX);
        if (!differs.empty()) return "budget of " + std::to_string(budget) + " bits: " + differs;
    }
    for (std::size_t stopAt : {SIZE_MAX, std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
        const std::string differs = compareWalksUnder(
            data, size, [] { return dz::WholeStreamPolicy(); }, stopAt);
        if (!differs.empty()) {
            return "whole-stream policy, stopped at " + std::to_string(stopAt) + ": " + differs;
        }
    }
    std::vector<std::size_t> all = rooms;
    all.push_back(SIZE_MAX);
    for (std::size_t room : all) {
        const std::string differs = compareWalksUnder(
            data, size, [&] { return dz::LibdeflateWalkPolicy(size, room); }, SIZE_MAX);
        if (!differs.empty()) {
            return "libdeflate policy, room " + std::to_string(room) + ": " + differs;
        }
    }
    return "";
}

}  // namespace testsupport

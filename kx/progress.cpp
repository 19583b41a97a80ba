// Counting the work and drawing the progress line.
#include "kx/progress.h"

#include <cstdio>

#include "kx/console.h"
#include "kx/text.h"

namespace kx {

namespace {

// The line is drawn this often, and first at once.
constexpr auto kRedraw = std::chrono::milliseconds(200);
// The time left is told once this much of the work and this much time have gone by.
constexpr double kShareToTell = 0.02;
constexpr double kSecondsToTell = 1.0;
// The line fits a terminal of 80 columns.
constexpr std::size_t kWidth = 79;

}  // namespace

std::uint64_t shareOf(std::uint64_t weight, std::uint64_t upTo, std::uint64_t length) {
    if (upTo >= length) return weight;
    return static_cast<std::uint64_t>(static_cast<long double>(weight) * upTo / length);
}

std::string clockText(double seconds) {
    const auto whole = static_cast<unsigned long long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60,
                      whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
    }
    return text;
}

Progress::Progress(bool shown, std::vector<std::uint64_t> weights)
    : shown_(shown),
      weights_(std::move(weights)),
      lengths_(weights_.size(), 0),
      credited_(weights_.size(), 0),
      begunAs_(weights_.size(), 0),
      start_(std::chrono::steady_clock::now()) {
    for (std::uint64_t weight : weights_) total_ += weight;
    if (!shown_) return;
    thread_ = std::jthread([this] {
        std::unique_lock<std::mutex> lock(mutex_);
        do {
            draw(/*last=*/false);
        } while (!stop_.wait_for(lock, kRedraw, [this] { return stopping_; }));
        draw(/*last=*/true);
    });
}

Progress::~Progress() {
    if (!shown_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stop_.notify_all();
}

void Progress::working(std::uint32_t index, const std::string& name) {
    if (!shown_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (begunAs_[index] != 0) return;  // begun again, where it was first put
    begunAs_[index] = ++begun_;
    inHand_.emplace(begun_, shown(name));
    nameFirstInHand();
}

void Progress::nameFirstInHand() {
    const std::string& first = inHand_.empty() ? std::string() : inHand_.begin()->second;
    if (first == name_ || stopping_) return;
    name_ = first;
    draw(/*last=*/false);
}

void Progress::sized(std::uint32_t index, std::uint64_t length) {
    lengths_[index] = length;
}

void Progress::done(std::uint32_t index, std::uint64_t at, std::uint64_t bytes) {
    const std::uint64_t share = shareOf(weights_[index], at + bytes, lengths_[index]);
    const std::uint64_t more = share > credited_[index] ? share - credited_[index] : 0;
    credited_[index] += more;
    bytes_ += bytes;
    weightDone_ += more;
}

void Progress::ended(std::uint32_t index) {
    weightDone_ += weights_[index] - credited_[index];
    credited_[index] = weights_[index];
    if (!shown_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    inHand_.erase(begunAs_[index]);
    nameFirstInHand();
}

// Called with the mutex held. The last call only takes the line away.
void Progress::draw(bool last) {
    if (last) {
        showStatus({});
        return;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const std::uint64_t bytes = bytes_, weight = weightDone_;
    const double share = total_ == 0 ? 1.0 : static_cast<double>(weight) / total_;
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3u%%", static_cast<unsigned>(share * 100));
    std::string line = std::string(percent) + "  " + inUnits(static_cast<double>(bytes));
    if (seconds > 0) line += ", " + inUnits(static_cast<double>(bytes) / seconds) + "/s";
    if (share >= kShareToTell && seconds >= kSecondsToTell && share < 1.0) {
        line += ", " + clockText(seconds * (1 - share) / share) + " left";
    }
    if (!name_.empty()) line += "  " + name_;
    showStatus(cutToColumns(line, kWidth));
}

}  // namespace kx

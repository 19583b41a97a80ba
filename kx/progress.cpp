// Drawing the progress line.
#include "kx/progress.h"

#include <cstdio>

#include "kx/console.h"
#include "kx/text.h"
#include "platform/platform.h"

namespace kx {

Progress::Progress(bool shown, std::uint64_t total)
    : shown_(shown), total_(total), start_(std::chrono::steady_clock::now()) {
    if (!shown_) return;
    thread_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(mutex_);
        while (
            !stop_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stopping_; })) {
            draw(/*last=*/false);
        }
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
    thread_.join();
}

void Progress::working(const std::string& name) {
    if (!shown_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = shown(name);
}

// Called with the mutex held. The last call only clears the line.
void Progress::draw(bool last) {
    std::string line;
    if (!last) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const std::uint64_t done = done_;
        char percent[16];
        std::snprintf(percent, sizeof percent, "%3u%%",
                      total_ == 0 ? 100u : static_cast<unsigned>(done * 100 / total_));
        line = std::string(percent) + "  " + inUnits(static_cast<double>(done)) + " of " +
               inUnits(static_cast<double>(total_));
        if (seconds > 0) line += ", " + inUnits(static_cast<double>(done) / seconds) + "/s";
        if (!name_.empty()) line += "  " + name_;
        if (line.size() > 78) line.resize(78);
    }
    // Spaces over what was drawn before, then back to the start of the line.
    std::string text = "\r" + line;
    if (line.size() < drawnWidth_) text += std::string(drawnWidth_ - line.size(), ' ');
    text += "\r";
    if (!last) text += line;
    drawnWidth_ = line.size();
    platform::standardErrorWrite(text.data(), text.size());
}

}  // namespace kx

// Writing kx's output, with the status line kept apart from every other line.
#include "kx/console.h"

#include <mutex>
#include <vector>

#include "dzlib/text_field.h"
#include "platform/platform.h"

namespace kx {

namespace {

// The terminal's owner: every write to standard output or standard error is made under it.
std::mutex console;
std::string statusLine;     // the status line as drawn ("\rLINE\r"); empty when none is
std::string outputFailure;  // the reason the first failed printOut failed

bool isContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Called under `console`: takes the status line away, leaving the cursor at the line's start.
void clearStatus() {
    if (statusLine.empty()) return;
    std::string blank(columnsOf(statusLine) + 2, ' ');
    blank.front() = blank.back() = '\r';
    platform::standardErrorWrite(blank.data(), blank.size());
}

// Called under `console`: draws the status line again.
void drawStatus() {
    if (statusLine.empty()) return;
    platform::standardErrorWrite(statusLine.data(), statusLine.size());
}

}  // namespace

void printOut(std::string_view text) {
    std::lock_guard<std::mutex> lock(console);
    clearStatus();
    const bool written = platform::standardOutputWrite(text.data(), text.size());
    if (!written && outputFailure.empty()) outputFailure = platform::lastErrorText();
    drawStatus();
}

std::string standardOutputFailure() {
    std::lock_guard<std::mutex> lock(console);
    return outputFailure;
}

void printError(std::string_view subject, std::string_view what) {
    std::string text(subject);
    text += ": ";
    text.append(what);
    printLine(text);
}

void printLine(std::string_view what) {
    std::string line = "kx: ";
    line.append(what);
    line += '\n';
    std::lock_guard<std::mutex> lock(console);
    clearStatus();
    platform::standardErrorWrite(line.data(), line.size());
    drawStatus();
}

void showStatus(std::string_view line) {
    std::lock_guard<std::mutex> lock(console);
    // Spaces over what the old line showed past the new one's end, then back to the start, so
    // that the cursor waits at the start of the line for whatever is written next.
    std::string text = "\r";
    text.append(line);
    const std::size_t drawn = columnsOf(statusLine), now = columnsOf(line);
    if (now < drawn) text.append(drawn - now, ' ');
    text += '\r';
    platform::standardErrorWrite(text.data(), text.size());
    statusLine.clear();
    if (!line.empty()) statusLine.append("\r").append(line).append("\r");
}

std::string shown(std::string_view text) {
    static const bool utf8Terminal = platform::consoleIsUtf8Terminal();
    std::vector<char> out(text.size() + 1);
    dz::printableText(text, utf8Terminal, out.data());
    return out.data();
}

std::size_t columnsOf(std::string_view text) {
    std::size_t columns = 0;
    for (char c : text) columns += isContinuationByte(c) || c == '\r' ? 0 : 1;
    return columns;
}

std::string_view cutToColumns(std::string_view text, std::size_t columns) {
    std::size_t end = 0;
    for (std::size_t taken = 0; end < text.size(); ++end) {
        if (isContinuationByte(text[end])) continue;
        if (taken == columns) break;
        ++taken;
    }
    return text.substr(0, end);
}

}  // namespace kx

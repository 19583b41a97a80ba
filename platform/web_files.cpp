// Files in a page compiled to WebAssembly (KESTRIX_WEB_FILES): the host reads them, the one the
// user chose in a browser (slices of a File) or one named on node's file system, through the
// object the host sets as Module.kestrixFiles:
//     open(path) -> an id from 0, or -1 when there is no such file
//     size(id) -> its length in bytes
//     read(id, position, length) -> a Uint8Array of at most `length` bytes read at `position`
//     close(id)
// Positions travel as JavaScript numbers, exact to 2^53, so a file past 4 GiB reads where it
// should (emscripten's own pread keeps only the low 32 bits of a position). Nothing is written:
// files are read in place (no view), never made.
#ifndef __EMSCRIPTEN__
#error "platform/web_files.cpp is for WebAssembly built with emscripten"
#endif

#include <emscripten.h>

#include <cerrno>

#include "platform/file_views.h"
#include "platform/platform.h"

// clang-format off
EM_JS(int, kestrix_web_open, (const char* path), {
    return Module.kestrixFiles.open(UTF8ToString(path));
});
EM_JS(double, kestrix_web_size, (int id), {
    return Module.kestrixFiles.size(id);
});
EM_JS(int, kestrix_web_read, (int id, double position, void* buffer, int length), {
    const bytes = Module.kestrixFiles.read(id, position, length);
    HEAPU8.set(bytes.subarray(0, length), buffer);
    return Math.min(bytes.length, length);
});
EM_JS(void, kestrix_web_close, (int id), {
    Module.kestrixFiles.close(id);
});
// clang-format on

namespace platform {
namespace {

// The largest read asked of the host at once (the length travels as an int).
constexpr std::size_t kReadStep = 1u << 30;

int idOf(std::intptr_t handle) {
    return static_cast<int>(handle);
}

}  // namespace

bool File::close() {
    if (handle_ == kClosed) return true;
    kestrix_web_close(idOf(handle_));
    handle_ = kClosed;
    return true;
}

File File::openExclusiveRead(const char* path) {
    const int id = kestrix_web_open(path);
    if (id < 0) {
        errno = ENOENT;
        return File();
    }
    return File(id);
}

std::int64_t File::size() const {
    if (handle_ == kClosed) return -1;
    return static_cast<std::int64_t>(kestrix_web_size(idOf(handle_)));
}

File::Stamp File::stamp() const {
    // A file the user chose does not change under the page (the browser refuses to read it
    // then); its length stands for it.
    return {size(), 0, 0};
}

std::size_t File::readAt(std::uint64_t position, void* buffer, std::size_t length) const {
    if (handle_ == kClosed) return 0;
    char* at = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const std::size_t step = length - done < kReadStep ? length - done : kReadStep;
        const int got = kestrix_web_read(idOf(handle_), static_cast<double>(position + done),
                                         at + done, static_cast<int>(step));
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

void File::reserve(std::uint64_t, std::uint64_t) {}

bool File::writeAt(std::uint64_t, const void*, std::size_t) {
    errno = EROFS;
    return false;
}

bool File::isSameFileAs(const Directory&, const char*) const {
    return false;
}

FileView File::view(std::uint64_t, std::size_t) const {
    return FileView();
}

void FileView::release() {}

void FileView::letGoBefore(std::size_t) {}

void handleBusErrorsInViews(void (*)(int)) {}

void prepareViews() {}

}  // namespace platform

// The Windows side of the platform layer.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "platform/profile.h"

namespace platform {
namespace {

// Room for a settings path (as the program builds it, at most MAX_PATH characters) and for the
// section and key names, in wide characters.
constexpr int kPathCharacters = MAX_PATH;
constexpr int kNameCharacters = 64;

// Every read and write call moves at most this many bytes: the counts are 32-bit.
constexpr std::size_t kLargestStep = std::size_t{1} << 30;

HANDLE standardOutput = INVALID_HANDLE_VALUE;
bool standardOutputIsConsole = false;

HANDLE toHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}
std::intptr_t fromHandle(HANDLE handle) {
    return reinterpret_cast<std::intptr_t>(handle);
}

LARGE_INTEGER largeInteger(std::int64_t value) {
    LARGE_INTEGER large;
    large.QuadPart = value;
    return large;
}

// True when the open file is a link (a reparse point, opened as itself) or cannot be told.
bool isLinkOrUnknown(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileInformationByHandle(handle, &information) == 0 ||
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

const char kPathSeparator = '\\';

// ---- Console -------------------------------------------------------------------------------

void consoleOpen() {
    standardOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    standardOutputIsConsole = standardOutput != INVALID_HANDLE_VALUE && standardOutput != nullptr &&
                              GetConsoleMode(standardOutput, &mode) != 0;
}

void consoleWrite(const char* bytes, std::size_t length) {
    if (standardOutput == INVALID_HANDLE_VALUE || standardOutput == nullptr) return;
    while (length > 0) {
        // A console takes modest pieces; a file or pipe (output redirected) takes the same bytes
        // through the plain file call.
        DWORD step = static_cast<DWORD>(length < 16384 ? length : 16384);
        DWORD written = 0;
        BOOL done = standardOutputIsConsole
                        ? WriteConsoleA(standardOutput, bytes, step, &written, nullptr)
                        : WriteFile(standardOutput, bytes, step, &written, nullptr);
        if (!done || written == 0) return;
        bytes += written;
        length -= written;
    }
}

// A Windows console shows the byte 0xFE as the status square in its own code page.
bool consoleIsUtf8Terminal() {
    return false;
}

// ---- Process -------------------------------------------------------------------------------

ProcessArguments processArguments(int argc, char** argv) {
    // The system's copy must not be changed; the program splits its own. A command line holds
    // at most 32767 characters.
    static char text[32768];
    const char* line = GetCommandLineA();
    std::size_t length = line != nullptr ? std::strlen(line) : 0;
    if (length >= sizeof text) length = sizeof text - 1;
    if (length > 0) std::memcpy(text, line, length);
    text[length] = '\0';
    return {text, argc, argv};
}

bool programPath(char* buffer, std::size_t size) {
    if (size == 0) return false;
    DWORD capacity = static_cast<DWORD>(size > MAXDWORD ? MAXDWORD : size);
    DWORD length = GetModuleFileNameA(nullptr, buffer, capacity);
    // A path that does not fit comes back cut, with the full buffer's size as its length.
    return length != 0 && length < capacity;
}

// ---- Settings ------------------------------------------------------------------------------

long long profileInteger(const char* path, const char* section, const char* key, int fallback) {
    // Only a regular disk file is a settings file: asking for no data access opens a directory
    // not at all, and a pipe or device (as Wine shows a Unix FIFO or device) without reading
    // from it.
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return fallback;
    BY_HANDLE_FILE_INFORMATION information{};
    bool regular = GetFileType(handle) == FILE_TYPE_DISK &&
                   GetFileInformationByHandle(handle, &information) != 0 &&
                   (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    CloseHandle(handle);
    if (!regular || information.nFileSizeHigh != 0 || information.nFileSizeLow == 0) {
        return fallback;
    }
    std::uint64_t fileSize = information.nFileSizeLow;

    // The names as the narrow profile call would pass them on.
    UINT codePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    wchar_t widePath[kPathCharacters];
    wchar_t wideSection[kNameCharacters];
    wchar_t wideKey[kNameCharacters];
    if (MultiByteToWideChar(codePage, 0, path, -1, widePath, kPathCharacters) == 0 ||
        MultiByteToWideChar(codePage, 0, section, -1, wideSection, kNameCharacters) == 0 ||
        MultiByteToWideChar(codePage, 0, key, -1, wideKey, kNameCharacters) == 0) {
        return fallback;
    }

    // The value as text, whole: the integer call sees only its start (29 characters under Wine)
    // and wraps the number in 32 bits. The wide call, because the narrow one would turn characters
    // such as a full-width digit or an em space into their ASCII look-alikes. The text of a value
    // that fills the buffer may have been cut, so it is read again with twice the room, until
    // the buffer could hold the whole file.
    wchar_t small[256];
    wchar_t* text = small;
    std::uint64_t capacity = sizeof small / sizeof small[0];
    DWORD length = 0;
    for (;;) {
        length = GetPrivateProfileStringW(wideSection, wideKey, L"", text,
                                          static_cast<DWORD>(capacity), widePath);
        if (length + std::uint64_t{1} < capacity || capacity > fileSize || capacity == MAXDWORD)
            break;
        if (text != small) releaseMemory(text, capacity * sizeof *text);
        capacity = capacity * 2 < fileSize + 1 ? capacity * 2 : fileSize + 1;
        if (capacity > MAXDWORD) capacity = MAXDWORD;
        text = static_cast<wchar_t*>(freshMemory(capacity * sizeof *text));
        if (text == nullptr) return fallback;
    }
    long long value = profileNumber(text, length, fallback);
    if (text != small) releaseMemory(text, capacity * sizeof *text);
    return value;
}

// ---- Files ---------------------------------------------------------------------------------

File::File(File&& other) noexcept : handle_(other.handle_) {
    other.handle_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

File::~File() {
    close();
}

bool File::isOpen() const {
    return toHandle(handle_) != INVALID_HANDLE_VALUE;
}

bool File::close() {
    if (!isOpen()) return true;
    BOOL closed = CloseHandle(toHandle(handle_));
    handle_ = -1;
    return closed != 0;
}

File File::openExclusiveRead(const char* path) {
    HANDLE handle =
        CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return File();
    File file(fromHandle(handle));
    // A directory is not a container (nor is a device, which has no file information).
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(handle, &information) == 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return File();
    }
    return file;
}

File File::create(const char* path) {
    // A link in the last part of the path is opened as itself and refused, never followed.
    // Replacing with CREATE_ALWAYS cannot be asked for that way, so the file is opened or
    // created and then emptied.
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return File();
    File file(fromHandle(handle));
    if (isLinkOrUnknown(handle) || SetEndOfFile(handle) == 0) return File();
    return file;
}

File File::openAppend(const char* path, bool& created) {
    created = false;
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // A name that exists, even as a dangling link, makes this fail.
        handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
        created = handle != INVALID_HANDLE_VALUE;
    }
    if (handle == INVALID_HANDLE_VALUE) return File();
    File file(fromHandle(handle));
    if (!created && isLinkOrUnknown(handle)) return File();
    if (SetFilePointerEx(handle, largeInteger(0), nullptr, FILE_END) == 0) return File();
    return file;
}

std::int64_t File::size() const {
    LARGE_INTEGER length;
    if (!isOpen() || GetFileSizeEx(toHandle(handle_), &length) == 0) return -1;
    return length.QuadPart;
}

bool File::seek(std::uint64_t position) {
    if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
    return SetFilePointerEx(toHandle(handle_), largeInteger(static_cast<std::int64_t>(position)),
                            nullptr, FILE_BEGIN) != 0;
}

std::size_t File::read(void* buffer, std::size_t length) {
    char* at = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        std::size_t step = length - done < kLargestStep ? length - done : kLargestStep;
        DWORD got = 0;
        if (ReadFile(toHandle(handle_), at + done, static_cast<DWORD>(step), &got, nullptr) == 0 ||
            got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

// The system lays out a file well enough as it is written.
void File::reserve(std::uint64_t) {}

bool File::write(const void* buffer, std::size_t length) {
    const char* at = static_cast<const char*>(buffer);
    while (length > 0) {
        std::size_t step = length < kLargestStep ? length : kLargestStep;
        DWORD put = 0;
        if (WriteFile(toHandle(handle_), at, static_cast<DWORD>(step), &put, nullptr) == 0 ||
            put == 0) {
            return false;
        }
        at += put;
        length -= put;
    }
    return true;
}

bool File::truncate(std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(INT64_MAX)) return false;
    HANDLE handle = toHandle(handle_);
    return SetFilePointerEx(handle, largeInteger(static_cast<std::int64_t>(length)), nullptr,
                            FILE_BEGIN) != 0 &&
           SetEndOfFile(handle) != 0;
}

bool isSameFile(const File& file, const char* path) {
    if (!file.isOpen()) return false;
    // Asking for no data access does not conflict with "no sharing", so the named file opens even
    // while this or another process holds it; a link is followed, as a write would follow it.
    HANDLE named = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION open;
    BY_HANDLE_FILE_INFORMATION other;
    bool same = GetFileInformationByHandle(toHandle(file.handle()), &open) != 0 &&
                GetFileInformationByHandle(named, &other) != 0 &&
                open.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
                open.nFileIndexHigh == other.nFileIndexHigh &&
                open.nFileIndexLow == other.nFileIndexLow;
    CloseHandle(named);
    return same;
}

bool removeFile(const char* path) {
    return DeleteFileA(path) != 0;
}

bool samePath(const char* a, const char* b) {
    // The file system compares names without regard to case. Only ASCII letters are folded
    // here, the same way whatever the user's locale.
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (asciiLower(*a) != asciiLower(*b)) return false;
    }
    return *a == *b;
}

bool createDirectory(const char* path) {
    return CreateDirectoryA(path, nullptr) != 0;
}

// ---- Memory --------------------------------------------------------------------------------

void* freshMemory(std::size_t size) {
    if (size == 0) return nullptr;
    return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void releaseMemory(void* memory, std::size_t) {
    if (memory != nullptr) VirtualFree(memory, 0, MEM_RELEASE);
}

// ---- Local time ----------------------------------------------------------------------------

bool fileTimeToLocal(std::uint64_t fileTime, CalendarTime& out) {
    if (fileTime >= (1ULL << 63)) return false;
    FILETIME utc;
    utc.dwLowDateTime = static_cast<DWORD>(fileTime);
    utc.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    // The local file time applies the offset from UTC in force now.
    FILETIME local;
    SYSTEMTIME fields;
    if (FileTimeToLocalFileTime(&utc, &local) == 0 || FileTimeToSystemTime(&local, &fields) == 0) {
        return false;
    }
    out.year = fields.wYear;
    out.month = fields.wMonth;
    out.day = fields.wDay;
    out.hour = fields.wHour;
    out.minute = fields.wMinute;
    out.second = fields.wSecond;
    return true;
}

}  // namespace platform

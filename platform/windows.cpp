// The Windows side of the platform layer.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/profile.h"
#include "platform/temporaries.h"

namespace platform {
namespace {

// Room for a settings path (as the program builds it, at most MAX_PATH characters) and for the
// section and key names, in wide characters.
constexpr int kPathCharacters = MAX_PATH;
constexpr int kNameCharacters = 64;

// Every read and write call moves at most this many bytes: the counts are 32-bit.
constexpr std::size_t kLargestStep = std::size_t{1} << 30;

// The exit status of a process ended by Ctrl-C, as Windows gives it by default.
constexpr UINT kInterruptedStatus = 0xC000013Au;

// Error codes for the refusals made here (Refusal): bit 29 marks a program's own codes, which
// the system never uses.
constexpr DWORD kOwnErrors = 0x20000000u;
constexpr DWORD kFolderError = kOwnErrors | 1;
constexpr DWORD kNotRegularFileError = kOwnErrors | 2;
constexpr DWORD kHeldError = kOwnErrors | 3;
constexpr DWORD kBeingReadError = kOwnErrors | 4;

HANDLE standardOutput = INVALID_HANDLE_VALUE;
bool standardOutputIsConsole = false;

HANDLE toHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}
std::intptr_t fromHandle(HANDLE handle) {
    return reinterpret_cast<std::intptr_t>(handle);
}

bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr &&
           GetConsoleMode(handle, &mode) != 0;
}

// Writes all bytes to a file or pipe handle; false when a write fails.
bool writeAll(HANDLE handle, const void* bytes, std::size_t length) {
    const char* at = static_cast<const char*>(bytes);
    while (length > 0) {
        std::size_t step = length < kLargestStep ? length : kLargestStep;
        DWORD put = 0;
        if (WriteFile(handle, at, static_cast<DWORD>(step), &put, nullptr) == 0 || put == 0) {
            return false;
        }
        at += put;
        length -= put;
    }
    return true;
}

// Removes this run's temporary files and ends the process with the status Windows gives a run
// ended by Ctrl-C (never 0). Runs on a thread of its own that the system starts.
BOOL WINAPI onInterrupt(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            removeAllTemporaries([](std::intptr_t, const char* path) { DeleteFileA(path); });
            ExitProcess(kInterruptedStatus);
        default:
            return FALSE;
    }
}

// The text as UTF-16, read in the process's code page; empty when it holds bytes that the code
// page has no character for.
std::wstring wideOf(std::string_view text) {
    if (text.empty()) return std::wstring();
    const int size = static_cast<int>(text.size());
    int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), length);
    return wide;
}

// The text with its letters upper-cased as the system's own case table has them, the same
// whatever the user's locale.
std::wstring upperOf(const std::wstring& text) {
    if (text.empty()) return text;
    std::wstring upper(text.size(), L'\0');
    const int size = static_cast<int>(text.size());
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(), size, upper.data(), size,
                      nullptr, nullptr, 0) != size) {
        return text;
    }
    return upper;
}

// A name made of random letters, different each call.
void randomLetters(char* out, std::size_t count) {
    static std::atomic<std::uint64_t> counter{0};
    LARGE_INTEGER ticks;
    QueryPerformanceCounter(&ticks);
    std::uint64_t x = static_cast<std::uint64_t>(ticks.QuadPart) ^
                      (std::uint64_t{GetCurrentProcessId()} << 32) ^
                      (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (std::size_t i = 0; i < count; ++i) {
        // splitmix64: every step mixes all bits of the seed into the next letter.
        x += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        out[i] = kLetters[z % (sizeof kLetters - 1)];
    }
}

}  // namespace

const char kPathSeparator = '\\';

// ---- Process -------------------------------------------------------------------------------

void prepareProcess() {
    SetConsoleCtrlHandler(onInterrupt, TRUE);
}

void prepareViews() {}  // files are not read in place here (File::view)

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

unsigned processorCount() {
    DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return count > 0 ? count : 1;
}

std::string lastErrorText() {
    const DWORD error = GetLastError();
    if (error == kFolderError) return "it is a folder";
    if (error == kNotRegularFileError) return "it is not a regular file";
    if (error == kHeldError) return "another program holds it";
    if (error == kBeingReadError) return "it is the file being read";
    char buffer[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, /*languageId=*/0, buffer, sizeof buffer, nullptr);
    std::string text(buffer, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    return text.empty() ? "error " + std::to_string(error) : text;
}

ErrorKind lastErrorKind() {
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return ErrorKind::notFound;
        case ERROR_ACCESS_DENIED:
            return ErrorKind::denied;
        case kFolderError:
            return ErrorKind::folder;
        case kNotRegularFileError:
            return ErrorKind::notRegularFile;
        case kHeldError:
            return ErrorKind::held;
        default:
            return ErrorKind::other;
    }
}

void setLastError(Refusal refusal) {
    switch (refusal) {
        case Refusal::folder:
            SetLastError(kFolderError);
            break;
        case Refusal::notRegularFile:
            SetLastError(kNotRegularFileError);
            break;
        case Refusal::held:
            SetLastError(kHeldError);
            break;
        case Refusal::beingRead:
            SetLastError(kBeingReadError);
            break;
    }
}

LastErrorKept::LastErrorKept() : code_(GetLastError()) {}

LastErrorKept::~LastErrorKept() {
    SetLastError(static_cast<DWORD>(code_));
}

// ---- Console -------------------------------------------------------------------------------

void consoleOpen() {
    standardOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    standardOutputIsConsole = isConsole(standardOutput);
}

void consoleWrite(const char* bytes, std::size_t length) {
    if (standardOutput == INVALID_HANDLE_VALUE || standardOutput == nullptr) return;
    if (!standardOutputIsConsole) {
        // Redirected to a file or pipe: the same bytes through the plain file call.
        writeAll(standardOutput, bytes, length);
        return;
    }
    while (length > 0) {
        // A console takes modest pieces.
        DWORD step = static_cast<DWORD>(length < 16384 ? length : 16384);
        DWORD written = 0;
        if (!WriteConsoleA(standardOutput, bytes, step, &written, nullptr) || written == 0) return;
        bytes += written;
        length -= written;
    }
}

// A console whose output code page is UTF-8 takes the status square in UTF-8; any other console
// shows the byte 0xFE as that square in its own code page, and output sent elsewhere carries the
// byte 0xFE.
bool consoleIsUtf8Terminal() {
    return standardOutputIsConsole && GetConsoleOutputCP() == CP_UTF8;
}

bool standardOutputIsTerminal() {
    return isConsole(GetStdHandle(STD_OUTPUT_HANDLE));
}

bool standardErrorIsTerminal() {
    return isConsole(GetStdHandle(STD_ERROR_HANDLE));
}

bool standardOutputWrite(const void* bytes, std::size_t length) {
    return writeAll(GetStdHandle(STD_OUTPUT_HANDLE), bytes, length);
}

bool standardErrorWrite(const void* bytes, std::size_t length) {
    return writeAll(GetStdHandle(STD_ERROR_HANDLE), bytes, length);
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
    std::wstring text(256, L'\0');
    DWORD length = 0;
    for (;;) {
        length = GetPrivateProfileStringW(wideSection, wideKey, L"", text.data(),
                                          static_cast<DWORD>(text.size()), widePath);
        if (length + std::uint64_t{1} < text.size() || text.size() > fileSize ||
            text.size() >= MAXDWORD) {
            break;
        }
        const std::uint64_t larger = std::min<std::uint64_t>(
            std::min<std::uint64_t>(text.size() * 2, fileSize + 1), MAXDWORD);
        text.assign(static_cast<std::size_t>(larger), L'\0');
    }
    long long value = profileNumber(text.data(), length, fallback);
    return value;
}

// ---- Files ---------------------------------------------------------------------------------

bool File::close() {
    if (handle_ == kClosed) return true;
    BOOL closed = CloseHandle(toHandle(handle_));
    handle_ = kClosed;
    return closed != 0;
}

File File::openExclusiveRead(const char* path) {
    HANDLE handle = CreateFileA(path, GENERIC_READ, /*shareMode=*/0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // A folder cannot be opened as a file: the system calls that a denied access.
        if (GetLastError() == ERROR_ACCESS_DENIED) {
            const DWORD attributes = GetFileAttributesA(path);
            if (attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                setLastError(Refusal::folder);
            } else {
                SetLastError(ERROR_ACCESS_DENIED);
            }
        } else if (GetLastError() == ERROR_SHARING_VIOLATION) {
            setLastError(Refusal::held);
        }
        return File();
    }
    File file(fromHandle(handle));
    // Only a file on a disk is a container: not a folder, a pipe or a device.
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        setLastError(Refusal::notRegularFile);
        return File();
    }
    if (GetFileInformationByHandle(handle, &information) == 0) return File();
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        setLastError(Refusal::folder);
        return File();
    }
    return file;
}

std::int64_t File::size() const {
    LARGE_INTEGER length;
    if (!isOpen() || GetFileSizeEx(toHandle(handle_), &length) == 0) return -1;
    return length.QuadPart;
}

File::Stamp File::stamp() const {
    FILE_BASIC_INFO times;
    LARGE_INTEGER length;
    if (!isOpen() || GetFileSizeEx(toHandle(handle_), &length) == 0 ||
        GetFileInformationByHandleEx(toHandle(handle_), FileBasicInfo, &times, sizeof times) == 0) {
        return {};
    }
    return {length.QuadPart, times.LastWriteTime.QuadPart, times.ChangeTime.QuadPart};
}

std::size_t File::readAt(std::uint64_t position, void* buffer, std::size_t length) const {
    char* at = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const std::uint64_t from = position + done;
        if (from > static_cast<std::uint64_t>(INT64_MAX)) break;
        std::size_t step = length - done < kLargestStep ? length - done : kLargestStep;
        // A read that names its position leaves no shared position behind.
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(from);
        where.OffsetHigh = static_cast<DWORD>(from >> 32);
        DWORD got = 0;
        if (ReadFile(toHandle(handle_), at + done, static_cast<DWORD>(step), &got, &where) == 0 ||
            got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

// The system lays out a file well enough as it is written.
void File::reserve(std::uint64_t, std::uint64_t) {}

bool File::writeAt(std::uint64_t position, const void* buffer, std::size_t length) {
    const char* at = static_cast<const char*>(buffer);
    while (length > 0) {
        if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
        std::size_t step = length < kLargestStep ? length : kLargestStep;
        // A write that names its position leaves no shared position behind.
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(position);
        where.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD put = 0;
        if (WriteFile(toHandle(handle_), at, static_cast<DWORD>(step), &put, &where) == 0 ||
            put == 0) {
            return false;
        }
        at += put;
        position += put;
        length -= put;
    }
    return true;
}

// Files are not read in place here: a view of a file on a network share that fails to page in
// would end the process. The caller reads the bytes instead.
FileView File::view(std::uint64_t, std::size_t) const {
    return FileView();
}

void FileView::release() {}

void FileView::letGoBefore(std::size_t) {}

bool File::isSameFileAs(const Directory& folder, const char* name) const {
    if (!isOpen()) return false;
    // Asking for no data access does not conflict with "no sharing", so the named file opens even
    // while this or another process holds it; a link is opened as itself.
    const std::string path = folder.path_ + name;
    HANDLE named = CreateFileA(
        path.c_str(), /*desiredAccess=*/0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION open;
    BY_HANDLE_FILE_INFORMATION other;
    bool same = GetFileInformationByHandle(toHandle(handle_), &open) != 0 &&
                GetFileInformationByHandle(named, &other) != 0 &&
                open.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
                open.nFileIndexHigh == other.nFileIndexHigh &&
                open.nFileIndexLow == other.nFileIndexLow;
    CloseHandle(named);
    return same;
}

// ---- Directories ---------------------------------------------------------------------------

Directory Directory::open(const char* path) {
    Directory folder;
    // Held without delete sharing: nobody can rename or remove the folder while the run lasts.
    HANDLE handle = CreateFileA(*path != '\0' ? path : ".", FILE_LIST_DIRECTORY,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return folder;
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(handle, &information) == 0) {
        LastErrorKept failed;
        CloseHandle(handle);
        return folder;
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        CloseHandle(handle);
        SetLastError(ERROR_DIRECTORY);
        return folder;
    }
    folder.handle_ = fromHandle(handle);
    folder.path_ = path;
    if (!folder.path_.empty() && folder.path_.back() != '\\' && folder.path_.back() != '/') {
        folder.path_ += kPathSeparator;
    }
    return folder;
}

void Directory::close() {
    if (handle_ == kClosed) return;
    CloseHandle(toHandle(handle_));
    handle_ = kClosed;
}

File Directory::createTemporary(const char* stem, char* name) {
    const std::size_t stemLength = std::strlen(stem);
    constexpr std::size_t kRandomLetters = 8;
    if (!isOpen() || stemLength + kRandomLetters + 1 > kTemporaryNameSize) return File();
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::memcpy(name, stem, stemLength);
        randomLetters(name + stemLength, kRandomLetters);
        name[stemLength + kRandomLetters] = '\0';
        const std::string path = path_ + name;
        // Delete sharing lets an interrupt remove the file while it is still open.
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS) {
                continue;
            }
            return File();
        }
        File file(fromHandle(handle));
        if (!registerTemporary(0, path.c_str())) {
            file.close();
            DeleteFileA(path.c_str());
            SetLastError(ERROR_TOO_MANY_OPEN_FILES);
            return File();
        }
        return file;
    }
    return File();
}

bool Directory::replace(const char* from, const char* to) {
    const std::string source = path_ + from;
    const std::string target = path_ + to;
    // The final file is not hidden; the temporary one was.
    SetFileAttributesA(source.c_str(), FILE_ATTRIBUTE_NORMAL);
    return MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool Directory::moveNew(const char* from, const char* to, bool& taken) {
    const std::string source = path_ + from;
    const std::string target = path_ + to;
    SetFileAttributesA(source.c_str(), FILE_ATTRIBUTE_NORMAL);
    // Without MOVEFILE_REPLACE_EXISTING the move fails where anything stands at `to`.
    taken = false;
    if (MoveFileExA(source.c_str(), target.c_str(), 0) != 0) return true;
    const DWORD error = GetLastError();
    taken = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
    return false;
}

bool Directory::remove(const char* name) {
    const std::string path = path_ + name;
    bool removed = DeleteFileA(path.c_str()) != 0;
    forgetTemporary(0, path.c_str());
    return removed;
}

void Directory::keep(const char* name) {
    forgetTemporary(0, (path_ + name).c_str());
}

bool Directory::holds(const char* name) const {
    return GetFileAttributesA((path_ + name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Directory::holdsFolder(const char* name) const {
    const DWORD attributes = GetFileAttributesA((path_ + name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool createDirectory(const char* path) {
    return CreateDirectoryA(path, nullptr) != 0;
}

// ---- Names ---------------------------------------------------------------------------------

bool fileSystemHoldsName(std::string_view name) {
    for (char c : name) {
        if (std::strchr("<>:\"/\\|?*", c) != nullptr && c != '\0') return false;
    }
    const std::wstring wide = wideOf(name);
    if (wide.empty()) return false;  // not a name in this code page
    // Trailing dots and spaces are dropped by the system: a name of nothing else is no name.
    if (wide.find_last_not_of(L". ") == std::wstring::npos) return false;

    // Devices are opened whatever follows their name after spaces or a full stop.
    std::wstring base = upperOf(wide.substr(0, wide.find(L'.')));
    base.erase(base.find_last_not_of(L' ') + 1);
    static const wchar_t* const kDevices[] = {
        L"CON",     L"PRN",     L"AUX",     L"NUL",     L"CONIN$",  L"CONOUT$",
        L"COM\xB9", L"COM\xB2", L"COM\xB3", L"LPT\xB9", L"LPT\xB2", L"LPT\xB3",
    };
    for (const wchar_t* device : kDevices) {
        if (base == device) return false;
    }
    if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
        base[3] >= L'1' && base[3] <= L'9') {
        return false;
    }
    return true;
}

std::string fileNameKey(std::string_view name) {
    std::wstring wide = wideOf(name);
    if (wide.empty()) return std::string(name);
    wide.erase(wide.find_last_not_of(L". ") + 1);
    const std::wstring upper = upperOf(wide);
    const int size = static_cast<int>(upper.size());
    int length = WideCharToMultiByte(CP_UTF8, 0, upper.data(), size, nullptr, 0, nullptr, nullptr);
    std::string key(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, upper.data(), size, key.data(), length, nullptr, nullptr);
    return key;
}

// ---- Memory --------------------------------------------------------------------------------

Memory::Memory(std::size_t size) {
    if (size == 0) return;
    bytes_ = static_cast<std::uint8_t*>(
        VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (bytes_ != nullptr) size_ = committed_ = size;
}

Memory Memory::reserve(std::size_t limit, MemoryBound* bound) {
    Memory memory;
    if (limit == 0) return memory;
    // Address space only: committing it all would count against the system's commit limit.
    memory.bytes_ =
        static_cast<std::uint8_t*>(VirtualAlloc(nullptr, limit, MEM_RESERVE, PAGE_READWRITE));
    if (memory.bytes_ == nullptr) return memory;
    memory.size_ = limit;
    memory.bound_ = bound;
    return memory;
}

bool Memory::commitPages(std::size_t from, std::size_t to) {
    return VirtualAlloc(bytes_ + from, to - from, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

void Memory::decommitPages(std::size_t from, std::size_t to) {
    VirtualFree(bytes_ + from, to - from, MEM_DECOMMIT);
}

void Memory::release() {
    if (bound_ != nullptr) bound_->give(committed_);
    if (bytes_ != nullptr) VirtualFree(bytes_, 0, MEM_RELEASE);
    bytes_ = nullptr;
    size_ = committed_ = 0;
    bound_ = nullptr;
}

std::uint64_t memoryLimit() {
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status) == 0) return UINT64_MAX;
    return status.ullTotalPhys;
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

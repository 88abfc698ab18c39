// The tool's services over the Win32 API. Names arrive in UTF-8 and go to the wide
// (W) calls as UTF-16; the ANSI code page plays no part.
#include "platform.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <utility>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace cli {
namespace platform {
namespace {

// ---- UTF-16 ---------------------------------------------------------------------

std::wstring Utf16(const std::string &utf8) {
    if (utf8.empty()) {
        return std::wstring();
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
    return wide;
}

std::string Utf8(const wchar_t *wide, size_t length) {
    if (length == 0) {
        return std::string();
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0,
                                      nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), &utf8[0], n, nullptr, nullptr);
    return utf8;
}

std::string Utf8(const std::wstring &wide) {
    return Utf8(wide.data(), wide.size());
}

// A name for the W calls: "/" becomes "\", which they all take.
std::wstring WideName(const std::string &utf8) {
    std::wstring wide = Utf16(utf8);
    for (wchar_t &c : wide) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return wide;
}

// ---- Time -----------------------------------------------------------------------

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

FILETIME FileTimeOf(uint32_t unix_seconds) {
    const uint64_t ticks =
        (static_cast<uint64_t>(unix_seconds) + kSecondsFrom1601To1970) * kTicksPerSecond;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

int64_t UnixSeconds(const FILETIME &ft) {
    const int64_t ticks =
        static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    const int64_t seconds = ticks / kTicksPerSecond; // FILETIMEs are never negative
    return seconds - kSecondsFrom1601To1970;
}

// ---- Terminal and interrupt -----------------------------------------------------

struct TerminalLock {
    TerminalLock() {
        InitializeCriticalSection(&section);
    }
    CRITICAL_SECTION section;
};

TerminalLock &Terminal() {
    static TerminalLock lock;
    return lock;
}

UINT console_code_page = 0;

void RestoreConsole() {
    SetConsoleOutputCP(console_code_page);
}

bool IsConsole(DWORD which) {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

// The temporary file an interrupt must remove.
wchar_t pending[32768];

BOOL WINAPI RemovePending(DWORD) {
    if (pending[0] != 0) {
        DeleteFileW(pending); // opened with FILE_SHARE_DELETE: gone once the process ends
    }
    return FALSE; // and the process ends as it would have
}

// ---- Errors ---------------------------------------------------------------------

struct ErrorText {
    DWORD code;
    ErrorKind kind;
    const char *text;
};

// The Win32 errors the tool meets, worded as their POSIX counterparts.
const ErrorText kErrors[] = {
    {ERROR_FILE_NOT_FOUND, ErrorKind::kMissing, "No such file or directory"},
    {ERROR_PATH_NOT_FOUND, ErrorKind::kMissing, "No such file or directory"},
    {ERROR_INVALID_DRIVE, ErrorKind::kMissing, "No such file or directory"},
    {ERROR_BAD_NETPATH, ErrorKind::kMissing, "No such file or directory"},
    {ERROR_ACCESS_DENIED, ErrorKind::kOther, "Permission denied"},
    {ERROR_SHARING_VIOLATION, ErrorKind::kOther, "Permission denied"},
    {ERROR_LOCK_VIOLATION, ErrorKind::kOther, "Permission denied"},
    {ERROR_WRITE_PROTECT, ErrorKind::kOther, "Read-only file system"},
    {ERROR_FILE_EXISTS, ErrorKind::kExists, "File exists"},
    {ERROR_ALREADY_EXISTS, ErrorKind::kExists, "File exists"},
    {ERROR_DISK_FULL, ErrorKind::kOther, "No space left on device"},
    {ERROR_HANDLE_DISK_FULL, ErrorKind::kOther, "No space left on device"},
    {ERROR_NOT_ENOUGH_MEMORY, ErrorKind::kOther, "Cannot allocate memory"},
    {ERROR_OUTOFMEMORY, ErrorKind::kOther, "Cannot allocate memory"},
    {ERROR_DIRECTORY, ErrorKind::kLink, "Not a directory"},
    {ERROR_CANT_RESOLVE_FILENAME, ErrorKind::kLink, "Too many levels of symbolic links"},
    {ERROR_DIR_NOT_EMPTY, ErrorKind::kOther, "Directory not empty"},
    {ERROR_TOO_MANY_OPEN_FILES, ErrorKind::kOther, "Too many open files"},
    {ERROR_FILENAME_EXCED_RANGE, ErrorKind::kOther, "File name too long"},
    {ERROR_NOT_SAME_DEVICE, ErrorKind::kOther, "Invalid cross-device link"},
    {ERROR_INVALID_NAME, ErrorKind::kOther, "Invalid argument"},
};

const ErrorText *Known(DWORD code) {
    for (const ErrorText &e : kErrors) {
        if (e.code == code) {
            return &e;
        }
    }
    return nullptr;
}

// Fails a call with `code`, for the checks the tool makes itself.
template <typename T> T Fail(DWORD code, T result) {
    SetLastError(code);
    return result;
}

// ---- Code page 932 --------------------------------------------------------------

// Characters glibc's CP932 table also takes, one way, which Windows holds only as
// "best fit": without them a text would convert on Linux and not here.
const struct {
    wchar_t unicode;
    const char *sjis;
} kOneWay[] = {
    {0x00A2, "\x81\x91"}, {0x00A3, "\x81\x92"}, {0x00A5, "\x5C"},
    {0x00AC, "\x81\xCA"}, {0x2014, "\x81\x5C"}, {0x2016, "\x81\x61"},
    {0x203E, "\x7E"},     {0x2212, "\x81\x7C"}, {0x301C, "\x81\x60"},
};

// Converts one character (one or two UTF-16 units) without best fit: a character
// the table lacks, or one that does not come back as itself, fails.
bool EncodeCharacter(const wchar_t *c, int units, std::string *out) {
    if (units == 1) {
        for (const auto &m : kOneWay) {
            if (m.unicode == c[0]) {
                *out += m.sjis;
                return true;
            }
        }
    }
    char bytes[8];
    BOOL used_default = FALSE;
    const int n = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, c, units, bytes, sizeof bytes,
                                      nullptr, &used_default);
    if (n <= 0 || used_default) {
        return false;
    }
    wchar_t back[4];
    const int m = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes, n, back, 4);
    if (m != units || std::wmemcmp(back, c, static_cast<size_t>(units)) != 0) {
        return false;
    }
    out->append(bytes, static_cast<size_t>(n));
    return true;
}

} // namespace

const NativeFile kNoFile = INVALID_HANDLE_VALUE;

// ---- Start-up -------------------------------------------------------------------

void StartProcess() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    if (IsConsole(STD_OUTPUT_HANDLE) || IsConsole(STD_ERROR_HANDLE)) {
        console_code_page = GetConsoleOutputCP();
        SetConsoleOutputCP(CP_UTF8);
        std::atexit(RestoreConsole);
        // The progress bar erases its line with an escape sequence.
        const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
        DWORD mode;
        if (GetConsoleMode(error, &mode)) {
            SetConsoleMode(error, mode | 0x0004); // ENABLE_VIRTUAL_TERMINAL_PROCESSING
        }
    }
}

std::vector<std::string> Arguments(int argc, wchar_t **argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(Utf8(argv[i], std::wcslen(argv[i])));
    }
    return args;
}

bool ErrorIsTerminal() {
    return IsConsole(STD_ERROR_HANDLE);
}

void LockTerminal() {
    EnterCriticalSection(&Terminal().section);
}

void UnlockTerminal() {
    LeaveCriticalSection(&Terminal().section);
}

std::string ExecutableFolder() {
    std::wstring self(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, &self[0], static_cast<DWORD>(self.size()));
    if (n == 0 || n >= self.size()) {
        return ".";
    }
    self.resize(n);
    const size_t slash = self.find_last_of(L"\\/");
    return slash == std::wstring::npos ? "." : Utf8(self.substr(0, slash));
}

bool EnvironmentVariable(const std::string &name, std::string *value) {
    const std::wstring wide_name = Utf16(name);
    std::wstring found(256, L'\0');
    DWORD n =
        GetEnvironmentVariableW(wide_name.c_str(), &found[0], static_cast<DWORD>(found.size()));
    if (n >= found.size()) { // too small: n is the size the value needs
        found.assign(n, L'\0');
        n = GetEnvironmentVariableW(wide_name.c_str(), &found[0], n);
    }
    if (n == 0 || n >= found.size()) {
        return false;
    }
    *value = Utf8(found.data(), n);
    return true;
}

int32_t LocalZoneOffset() {
    const time_t now = std::time(nullptr);
    struct tm local = *std::localtime(&now);
    return static_cast<int32_t>(_mkgmtime(&local) - now);
}

struct tm UtcCalendar(uint32_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    return *std::gmtime(&t);
}

// ---- Errors ---------------------------------------------------------------------

std::string LastError() {
    const DWORD code = GetLastError();
    if (const ErrorText *e = Known(code)) {
        return e->text;
    }
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string message = n > 0 ? Utf8(text, n) : "error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

ErrorKind LastErrorKind() {
    const ErrorText *e = Known(GetLastError());
    return e != nullptr ? e->kind : ErrorKind::kOther;
}

// ---- Code page 932 --------------------------------------------------------------

bool EncodeCp932(const std::string &utf8, std::string *out, size_t *failed_at) {
    out->clear();
    const std::wstring wide = Utf16(utf8);
    size_t at = 0; // of the character in `utf8`
    for (size_t i = 0; i < wide.size();) {
        const wchar_t c = wide[i];
        const int units = c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() ? 2 : 1;
        if (!EncodeCharacter(&wide[i], units, out)) {
            *failed_at = at;
            return false;
        }
        at += units == 2 ? 4 : c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
        i += static_cast<size_t>(units);
    }
    return true;
}

bool DecodeCp932(const std::string &sjis, std::string *out) {
    out->clear();
    if (sjis.empty()) {
        return true;
    }
    // Windows reads the single bytes 0x80, 0xA0 and 0xFD to 0xFF as characters of its
    // own; glibc's table, and Shift-JIS, have none there.
    for (size_t i = 0; i < sjis.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(sjis[i]);
        if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) {
            ++i;
        } else if (b == 0x80 || b == 0xA0 || b >= 0xFD) {
            return false;
        }
    }
    const int n = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, sjis.data(),
                                      static_cast<int>(sjis.size()), nullptr, 0);
    if (n <= 0) {
        return false;
    }
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, sjis.data(), static_cast<int>(sjis.size()),
                        &wide[0], n);
    *out = Utf8(wide);
    return true;
}

// ---- Files ----------------------------------------------------------------------

NativeFile OpenForReading(const std::string &path) {
    return CreateFileW(WideName(path).c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool Read(NativeFile file, void *buffer, size_t size, size_t *got) {
    uint8_t *out = static_cast<uint8_t *>(buffer);
    *got = 0;
    while (*got < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - *got, 1u << 30));
        DWORD n = 0;
        if (!ReadFile(file, out + *got, chunk, &n, nullptr)) {
            return false;
        }
        if (n == 0) {
            break;
        }
        *got += n;
    }
    return true;
}

bool ReadAt(NativeFile file, uint64_t offset, void *buffer, size_t size, size_t *got) {
    uint8_t *out = static_cast<uint8_t *>(buffer);
    *got = 0;
    while (*got < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - *got, 1u << 30));
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset + *got);
        at.OffsetHigh = static_cast<DWORD>((offset + *got) >> 32);
        DWORD n = 0;
        if (!ReadFile(file, out + *got, chunk, &n, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) {
                break;
            }
            return false;
        }
        if (n == 0) {
            break;
        }
        *got += n;
    }
    return true;
}

bool WriteAt(NativeFile file, uint64_t offset, const void *data, size_t size) {
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD n = 0;
        if (!WriteFile(file, bytes + done, chunk, &n, &at)) {
            return false;
        }
        if (n == 0) {
            return Fail(ERROR_DISK_FULL, false);
        }
        done += n;
    }
    return true;
}

bool Write(NativeFile file, const void *data, size_t size) {
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        DWORD n = 0;
        if (!WriteFile(file, bytes + done, chunk, &n, nullptr)) {
            return false;
        }
        if (n == 0) {
            return Fail(ERROR_DISK_FULL, false);
        }
        done += n;
    }
    return true;
}

bool Seek(NativeFile file, uint64_t position) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(position);
    return SetFilePointerEx(file, to, nullptr, FILE_BEGIN) != 0;
}

bool Truncate(NativeFile file, uint64_t size) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(file, to, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(file) != 0;
}

bool Tell(NativeFile file, uint64_t *position) {
    LARGE_INTEGER zero, at;
    zero.QuadPart = 0;
    const bool ok = SetFilePointerEx(file, zero, &at, FILE_CURRENT) != 0;
    *position = ok ? static_cast<uint64_t>(at.QuadPart) : 0;
    return ok;
}

bool Size(NativeFile file, uint64_t *size) {
    LARGE_INTEGER n;
    const bool ok = GetFileSizeEx(file, &n) != 0;
    *size = ok ? static_cast<uint64_t>(n.QuadPart) : 0;
    return ok;
}

bool SetTimes(NativeFile file, uint32_t access, uint32_t modification) {
    const FILETIME a = FileTimeOf(access), m = FileTimeOf(modification);
    return SetFileTime(file, nullptr, &a, &m) != 0;
}

bool Close(NativeFile file) {
    return CloseHandle(file) != 0;
}

bool ReadWholeFile(const std::string &path, std::vector<uint8_t> *data) {
    data->clear();
    const HANDLE file = OpenForReading(path);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    uint64_t size = 0;
    size_t got = 0;
    bool ok = Size(file, &size);
    if (ok && size > SIZE_MAX / 2) {
        ok = Fail(ERROR_NOT_ENOUGH_MEMORY, false);
    }
    if (ok) {
        data->resize(static_cast<size_t>(size));
        ok = Read(file, data->data(), data->size(), &got);
        data->resize(got);
    }
    const DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return ok;
}

NativeFile CreateScratch() {
    wchar_t folder[MAX_PATH + 1], name[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    if (n == 0 || n > MAX_PATH || GetTempFileNameW(folder, L"lzh", 0, name) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    // GetTempFileNameW made the file; it is opened anew to be deleted on closing.
    const HANDLE file =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        DeleteFileW(name);
        SetLastError(error);
    }
    return file;
}

bool RemoveFile(const std::string &path) {
    return DeleteFileW(WideName(path).c_str()) != 0;
}

bool IsReadable(const std::string &path) {
    const HANDLE file = OpenForReading(path);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

bool Status(const std::string &path, FileStatus *status) {
    // Opened rather than looked up, so that a symbolic link leads to what it names.
    const HANDLE file = CreateFileW(WideName(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(file, &info) != 0;
    const DWORD type = GetFileType(file);
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!ok) {
        SetLastError(error);
        return false;
    }
    status->directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status->regular = !status->directory && type == FILE_TYPE_DISK;
    status->read_only = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    status->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    status->modified = UnixSeconds(info.ftLastWriteTime);
    status->volume = info.dwVolumeSerialNumber;
    status->file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool ListFolder(const std::string &path, std::vector<std::string> *names) {
    names->clear();
    std::wstring pattern = WideName(path);
    if (!pattern.empty() && pattern.back() != L'\\') {
        pattern += L'\\';
    }
    pattern += L'*';
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    do {
        if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0) {
            names->push_back(Utf8(found.cFileName, std::wcslen(found.cFileName)));
        }
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    SetLastError(error);
    return error == ERROR_NO_MORE_FILES;
}

// The absolute form of `path`, as the system resolves it against the current folder.
static bool WideFullName(const std::string &path, std::wstring *full) {
    const std::wstring name = WideName(path);
    std::wstring buffer(32768, L'\0');
    const DWORD n =
        GetFullPathNameW(name.c_str(), static_cast<DWORD>(buffer.size()), &buffer[0], nullptr);
    if (n == 0 || n >= buffer.size()) {
        return false;
    }
    buffer.resize(n);
    *full = std::move(buffer);
    return true;
}

bool FullName(const std::string &path, std::string *full) {
    std::wstring buffer;
    if (!WideFullName(path, &buffer)) {
        return false;
    }
    while (buffer.size() > 3 && buffer.back() == L'\\') {
        buffer.pop_back();
    }
    *full = Utf8(buffer);
    return true;
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

bool IsPlainName(const std::string &component) {
    if (component.find_first_of("\\:") != std::string::npos) {
        return false;
    }
    // Trailing dots and spaces are dropped from a name.
    const size_t kept = component.find_last_not_of(". ");
    return kept != std::string::npos;
}

bool IsDrive(const std::string &name) {
    return name.size() == 2 && name[1] == ':' &&
           ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
}

// ---- Replacing a file -----------------------------------------------------------

NativeFile CreateTemporary(const std::string &target, std::string *name) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    uint32_t seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = target + ".tmp-";
        for (int i = 0; i < 6; ++i) {
            seed = seed * 1103515245u + 12345u;
            candidate.push_back(kLetters[(seed >> 16) % 36]);
        }
        const std::wstring wide = WideName(candidate);
        // FILE_SHARE_DELETE: the interrupt handler can remove the file while it is open.
        const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            *name = candidate;
            if (wide.size() < sizeof pending / sizeof pending[0]) {
                std::wmemcpy(pending, wide.c_str(), wide.size() + 1);
            }
            SetConsoleCtrlHandler(RemovePending, TRUE);
            return file;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            break;
        }
    }
    return INVALID_HANDLE_VALUE;
}

bool FinishTemporary(NativeFile file) {
    if (!FlushFileBuffers(file)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        SetLastError(error);
        return false;
    }
    return CloseHandle(file) != 0;
}

bool Replace(const std::string &temporary, const std::string &target) {
    return MoveFileExW(WideName(temporary).c_str(), WideName(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING) != 0;
}

void Unguard() {
    pending[0] = 0;
    SetConsoleCtrlHandler(RemovePending, FALSE);
}

// ---- Extraction -----------------------------------------------------------------

Folder::~Folder() = default;
Folder::Folder(Folder &&other) noexcept = default;
Folder &Folder::operator=(Folder &&other) noexcept = default;

bool Folder::OpenCreating(const std::string &path) {
    std::wstring full;
    if (!WideFullName(path, &full)) {
        return false;
    }
    if (full.back() != L'\\') {
        full += L'\\';
    }
    // Every folder on the way, from the first below the root ("C:\", "\\server\share\").
    size_t start = 3;
    if (full.compare(0, 2, L"\\\\") == 0) {
        const size_t server = full.find(L'\\', 2);
        start = server == std::wstring::npos ? full.size() : full.find(L'\\', server + 1) + 1;
    }
    DWORD error = ERROR_SUCCESS;
    for (size_t at = full.find(L'\\', start); at != std::wstring::npos;
         at = full.find(L'\\', at + 1)) {
        if (!CreateDirectoryW(full.substr(0, at).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            error = GetLastError();
        }
    }
    const DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return Fail(error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_DIRECTORY), false);
    }
    path_ = full;
    return true;
}

bool Folder::MakeFolder(const std::string &name) const {
    return CreateDirectoryW((path_ + WideName(name)).c_str(), nullptr) ||
           GetLastError() == ERROR_ALREADY_EXISTS;
}

bool Folder::OpenFolder(const std::string &name, Folder *child) const {
    const std::wstring path = path_ + WideName(name);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return Fail(ERROR_DIRECTORY, false);
    }
    child->path_ = path + L'\\';
    return true;
}

NativeFile Folder::NewFile(const std::string &name, bool replace) const {
    const std::wstring path = path_ + WideName(name);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            return Fail(ERROR_CANT_RESOLVE_FILENAME, INVALID_HANDLE_VALUE);
        }
        if (!replace) {
            return Fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        }
    }
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                       replace ? CREATE_ALWAYS : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool Folder::Remove(const std::string &name) const {
    return DeleteFileW((path_ + WideName(name)).c_str()) != 0;
}

bool Folder::SetFolderTimes(const std::string &name, uint32_t access, uint32_t modification) const {
    const HANDLE folder =
        CreateFileW((path_ + WideName(name)).c_str(), FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool ok = SetTimes(folder, access, modification);
    CloseHandle(folder);
    return ok;
}

} // namespace platform
} // namespace cli

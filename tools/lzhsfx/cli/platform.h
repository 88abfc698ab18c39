// The operating system's services the tool uses, behind one header: POSIX in
// platform_posix.cpp, Windows in platform_windows.cpp. Nothing above this seam knows
// which side it runs on. Names are UTF-8 on both, with "/" as a separator ("\" too on
// Windows). A call that fails returns false (or kNoFile) and leaves its reason for
// LastError() and LastErrorKind(), read before the next call.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace cli {
namespace platform {

// ---- Start-up -------------------------------------------------------------------

// Readies the process: standard output and error for the tool's bytes (on Windows
// binary mode, no LF to CR LF, and UTF-8 on a console), and on glibc a memory
// allocator that gives large freed buffers back.
void StartProcess();

#ifdef _WIN32
// The arguments of wmain after the program name, in UTF-8.
std::vector<std::string> Arguments(int argc, wchar_t **argv);
#endif

// Whether standard error is a terminal, and its lock: the progress bar may be redrawn
// from a compressing thread.
bool ErrorIsTerminal();
void LockTerminal();
void UnlockTerminal();

// The folder of the running program, or "." when it cannot be told.
std::string ExecutableFolder();

// The value of the environment variable `name` in UTF-8; false when it is unset or
// empty.
bool EnvironmentVariable(const std::string &name, std::string *value);

// Seconds east of UTC of the local zone now (TZ where it is set).
int32_t LocalZoneOffset();
// The calendar time in UTC of `seconds` since 1970.
struct tm UtcCalendar(uint32_t seconds);

// ---- Errors ---------------------------------------------------------------------

enum class ErrorKind { kOther, kMissing, kExists, kLink };

// The reason of the last failure, worded as strerror words it.
std::string LastError();
ErrorKind LastErrorKind();

// ---- Code page 932 --------------------------------------------------------------

// The system's table of code page 932 (Shift-JIS with the NEC and IBM extensions).
// Converts well-formed UTF-8; on failure returns false with `failed_at` the offset of
// the first character the code page cannot hold. Nothing is ever replaced.
bool EncodeCp932(const std::string &utf8, std::string *out, size_t *failed_at);
// False when the bytes are not valid code page 932.
bool DecodeCp932(const std::string &sjis, std::string *out);

// ---- Files ----------------------------------------------------------------------

#ifdef _WIN32
using NativeFile = void *; // a HANDLE
#else
using NativeFile = int; // a descriptor
#endif
extern const NativeFile kNoFile;

NativeFile OpenForReading(const std::string &path);
// Reads up to `size` bytes, fewer only at the end of the file.
bool Read(NativeFile file, void *buffer, size_t size, size_t *got);
// Reads up to `size` bytes at `offset`, fewer only at the end of the file, whatever
// the file's position.
bool ReadAt(NativeFile file, uint64_t offset, void *buffer, size_t size, size_t *got);
// Writes all of `data` at `offset`.
bool WriteAt(NativeFile file, uint64_t offset, const void *data, size_t size);
// Writes all of `data` at the current position.
bool Write(NativeFile file, const void *data, size_t size);
bool Seek(NativeFile file, uint64_t position);
// Cuts or extends the file to `size` bytes.
bool Truncate(NativeFile file, uint64_t size);
bool Tell(NativeFile file, uint64_t *position);
bool Size(NativeFile file, uint64_t *size);
// Gives the file its times, in Unix seconds.
bool SetTimes(NativeFile file, uint32_t access, uint32_t modification);
bool Close(NativeFile file);

bool ReadWholeFile(const std::string &path, std::vector<uint8_t> *data);
// A new file for reading and writing in the folder for temporary files, which no name
// leads to once it is open and which goes when it is closed or the program ends: the
// tool's scratch space.
NativeFile CreateScratch();
bool RemoveFile(const std::string &path);
bool IsReadable(const std::string &path);

struct FileStatus {
    bool directory = false;
    bool regular = false; // a plain file
    bool read_only = false;
    uint64_t size = 0;
    int64_t modified = 0; // last write, Unix seconds
    // Equal for two names of the same file.
    uint64_t volume = 0, file = 0;
};

// The status of what `path` names, symbolic links followed.
bool Status(const std::string &path, FileStatus *status);
// The names a folder holds, without "." and "..", in no particular order.
bool ListFolder(const std::string &path, std::vector<std::string> *names);
// The absolute name of `path`, links resolved where the system does so.
bool FullName(const std::string &path, std::string *full);
bool IsSeparator(char c);
// Whether a member's path component, neither "." nor "..", names an entry inside the
// folder it is created in: on Windows not one with "\" or ":", or one that Windows
// would shorten to "." or "..".
bool IsPlainName(const std::string &component);
// Whether `name` is a drive ("C:") rather than a file's name.
bool IsDrive(const std::string &name);

// ---- Replacing a file -----------------------------------------------------------

// Creates a new, empty file beside `target`, named after it with ".tmp-" and six
// more characters, and guards it: an interrupt (Ctrl+C, SIGTERM...) removes it.
NativeFile CreateTemporary(const std::string &target, std::string *name);
// Gives the finished file the permissions of a new file, forces it to the disk and
// closes it, whether or not that succeeds.
bool FinishTemporary(NativeFile file);
// Gives the temporary file the target's name, replacing a file of that name.
bool Replace(const std::string &temporary, const std::string &target);
// Ends the guard of CreateTemporary.
void Unguard();

// ---- Extraction -----------------------------------------------------------------

// A folder members are extracted into. Names below it are UTF-8 components, or
// paths of them joined by "/"; no symbolic link is followed below it.
class Folder {
  public:
    Folder() = default;
    ~Folder();
    Folder(Folder &&other) noexcept;
    Folder &operator=(Folder &&other) noexcept;
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    // Creates `path` and its parents as `mkdir -p` does, then opens it.
    bool OpenCreating(const std::string &path);
    // Creates the folder `name` in this one; an existing one is no failure.
    bool MakeFolder(const std::string &name) const;
    // Opens the folder `name` in this one into `child`; a symbolic link, or a name
    // that is not a folder, fails with kLink.
    bool OpenFolder(const std::string &name, Folder *child) const;
    // Creates the file `name` for writing: an existing one fails with kExists
    // unless `replace`, a symbolic link with kLink.
    NativeFile NewFile(const std::string &name, bool replace) const;
    bool Remove(const std::string &name) const;
    bool SetFolderTimes(const std::string &name, uint32_t access, uint32_t modification) const;

  private:
#ifdef _WIN32
    std::wstring path_; // with a separator at its end
#else
    int fd_ = -1;
#endif
};

} // namespace platform
} // namespace cli

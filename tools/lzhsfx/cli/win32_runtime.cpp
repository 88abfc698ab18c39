// The Win32 calls of stub_calls.h, served for the stub's reader and decoder in the
// tool, and the controls of win32_runtime.h.
//
// - An archive handle (HFILE) is a small index into a table of open sources, each read
//   through a buffer. An output handle (HANDLE) is an index into a table of sinks;
//   neither is ever 0 or all ones, the values the stub reads as "none".
// - Names given to the calls are Shift-JIS with "\" or "/" separators and are
//   converted to UTF-8 for the file system; relative names resolve under the root
//   folder the tool sets.
// - ExitProcess, the end of the decoder's abort path, jumps back to the tool while
//   RunUntilAbort runs, and ends the process otherwise.
#include "win32_runtime.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lzh_writer.h"
#include "stub_calls.h"
#include "text_codec.h"

namespace {

using cli::platform::kNoFile;
using cli::platform::NativeFile;

// ---- Archive sources ------------------------------------------------------------

// The stub reads a header's few bytes, or at most 64 KiB of packed data, at a time;
// these are served from a buffer that reads the source ahead by this much.
constexpr size_t kReadAhead = size_t{256} << 10;

// The tables of handles are the thread's own: each thread that runs the stub's code
// opens its handles itself. Their entries hold nothing that needs destroying.
struct Source {
    bool open = false;
    const lzhsfx::ByteSource *source = nullptr;
    uint64_t position = 0;
    uint8_t *buffer = nullptr; // kReadAhead bytes once read through
    uint64_t base = 0;         // of the buffered bytes
    size_t filled = 0;
};

thread_local Source sources[8];

Source *SourceOf(HFILE file) {
    if (file < 1 || file > static_cast<HFILE>(sizeof sources / sizeof sources[0]) ||
        !sources[file - 1].open) {
        return nullptr;
    }
    return &sources[file - 1];
}

HFILE AddSource(const Source &s) {
    for (size_t i = 0; i < sizeof sources / sizeof sources[0]; ++i) {
        if (!sources[i].open) {
            sources[i] = s;
            sources[i].open = true;
            return static_cast<HFILE>(i + 1);
        }
    }
    return HFILE_ERROR;
}

// ---- Output sinks ---------------------------------------------------------------

enum class SinkKind { kFile, kDiscard, kCapture };

struct Sink {
    bool open = false;
    SinkKind kind = SinkKind::kDiscard;
    NativeFile file = kNoFile;
    std::string *text = nullptr;
    size_t limit = 0;
};

thread_local Sink sinks[8];
thread_local uint64_t bytes_written = 0;

HANDLE AddSink(const Sink &s) {
    for (size_t i = 0; i < sizeof sinks / sizeof sinks[0]; ++i) {
        if (!sinks[i].open) {
            sinks[i] = s;
            sinks[i].open = true;
            return reinterpret_cast<HANDLE>(static_cast<intptr_t>(i + 1));
        }
    }
    return INVALID_HANDLE_VALUE;
}

Sink *SinkOf(HANDLE h) {
    const intptr_t i = reinterpret_cast<intptr_t>(h);
    if (i < 1 || i > static_cast<intptr_t>(sizeof sinks / sizeof sinks[0]) || !sinks[i - 1].open) {
        return nullptr;
    }
    return &sinks[i - 1];
}

// ---- Names ----------------------------------------------------------------------

const cli::platform::Folder *root = nullptr;

// The file system's name for an ANSI name: "\" separators become "/" (a trail byte
// 0x5C stays), and the bytes are converted from Shift-JIS.
bool NativeName(LPCSTR name, std::string *native) {
    if (name == nullptr || name[0] == 0) {
        return false;
    }
    std::string ansi(name);
    for (size_t i = 0; i < ansi.size(); ++i) {
        if (cli::IsShiftJisLead(static_cast<unsigned char>(ansi[i])) && i + 1 < ansi.size()) {
            ++i;
        } else if (ansi[i] == '\\') {
            ansi[i] = '/';
        }
    }
    return cli::FromShiftJis(ansi, native);
}

// ---- Abort ----------------------------------------------------------------------

thread_local std::jmp_buf *abort_target = nullptr;

} // namespace

// =================================================================================
// The tool's controls.

namespace runtime {

HFILE OpenSource(const lzhsfx::ByteSource *source) {
    Source s;
    s.source = source;
    return AddSource(s);
}

uint64_t Tell(HFILE file) {
    Source *s = SourceOf(file);
    return s != nullptr ? s->position : 0;
}

uint64_t Size(HFILE file) {
    Source *s = SourceOf(file);
    return s != nullptr ? s->source->size() : 0;
}

bool Seek(HFILE file, uint64_t position) {
    Source *s = SourceOf(file);
    if (s == nullptr) {
        return false;
    }
    s->position = position;
    return true;
}

UINT Read(HFILE file, void *buffer, UINT size) {
    return _lread(file, buffer, size);
}

void Close(HFILE file) {
    _lclose(file);
}

HANDLE HandleForFile(NativeFile file) {
    Sink s;
    s.kind = SinkKind::kFile;
    s.file = file;
    return AddSink(s);
}

HANDLE DiscardHandle() {
    return AddSink(Sink{});
}

HANDLE CaptureHandle(std::string *text, size_t limit) {
    Sink s;
    s.kind = SinkKind::kCapture;
    s.text = text;
    s.limit = limit;
    return AddSink(s);
}

bool CloseOutput(HANDLE output) {
    return CloseHandle(output) != FALSE;
}

bool DeleteOutput(const std::string &name) {
    return DeleteFileA(name.c_str()) != FALSE;
}

uint64_t BytesWritten() {
    return bytes_written;
}

void SetRootDirectory(const cli::platform::Folder *folder) {
    root = folder;
}

bool RunUntilAbort(void (*work)()) {
    std::jmp_buf here;
    std::jmp_buf *outer = abort_target;
    if (setjmp(here) != 0) {
        abort_target = outer;
        return false;
    }
    abort_target = &here;
    work();
    abort_target = outer;
    return true;
}

} // namespace runtime

// =================================================================================
// The calls.

UINT WINAPI _lread(HFILE h, LPVOID buffer, UINT n) {
    Source *s = SourceOf(h);
    if (s == nullptr) {
        return static_cast<UINT>(HFILE_ERROR);
    }
    uint8_t *out = static_cast<uint8_t *>(buffer);
    const uint64_t size = s->source->size();
    const uint64_t left = s->position < size ? size - s->position : 0;
    const size_t want = left < n ? static_cast<size_t>(left) : n;
    size_t done = 0;
    try {
        while (done < want) {
            const uint64_t at = s->position + done;
            if (at >= s->base && at - s->base < s->filled) {
                const size_t from = static_cast<size_t>(at - s->base);
                const size_t part = std::min(want - done, s->filled - from);
                std::memcpy(out + done, s->buffer + from, part);
                done += part;
            } else if (want - done >= kReadAhead) {
                s->source->Read(at, out + done, want - done);
                done = want;
            } else {
                if (s->buffer == nullptr) {
                    s->buffer = new uint8_t[kReadAhead];
                }
                s->filled = 0;
                s->base = at;
                s->filled = static_cast<size_t>(std::min<uint64_t>(kReadAhead, size - at));
                s->source->Read(at, s->buffer, s->filled);
            }
        }
    } catch (const lzhsfx::LzhError &) {
        s->filled = 0;
        return static_cast<UINT>(HFILE_ERROR);
    }
    s->position += done;
    return static_cast<UINT>(done);
}

HFILE WINAPI _lclose(HFILE h) {
    Source *s = SourceOf(h);
    if (s == nullptr) {
        return HFILE_ERROR;
    }
    delete[] s->buffer;
    *s = Source{};
    return 0;
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID data, DWORD n, LPDWORD written, LPOVERLAPPED) {
    Sink *s = SinkOf(h);
    if (written != nullptr) {
        *written = 0;
    }
    if (s == nullptr) {
        return FALSE;
    }
    const char *bytes = static_cast<const char *>(data);
    if (s->kind == SinkKind::kFile) {
        if (!cli::platform::Write(s->file, bytes, n)) {
            return FALSE;
        }
    } else if (s->kind == SinkKind::kCapture && s->text->size() < s->limit) {
        s->text->append(bytes, std::min<size_t>(n, s->limit - s->text->size()));
    }
    bytes_written += n;
    if (written != nullptr) {
        *written = n;
    }
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE h) {
    Sink *s = SinkOf(h);
    if (s == nullptr) {
        return FALSE;
    }
    const bool ok = s->kind != SinkKind::kFile || cli::platform::Close(s->file);
    *s = Sink{};
    return ok ? TRUE : FALSE;
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
    std::string native;
    if (!NativeName(name, &native)) {
        return FALSE;
    }
    const bool ok = root != nullptr && !native.empty() && native[0] != '/'
                        ? root->Remove(native)
                        : cli::platform::RemoveFile(native);
    return ok ? TRUE : FALSE;
}

void WINAPI ExitProcess(UINT status) {
    if (abort_target != nullptr) {
        std::longjmp(*abort_target, 1);
    }
    std::fflush(nullptr);
    std::exit(static_cast<int>(status));
}

// The decoder's "解凍中 N%" for the install dialog; the tool shows its own bar.
BOOL WINAPI SetDlgItemTextA(HWND, int, LPCSTR) {
    return TRUE;
}

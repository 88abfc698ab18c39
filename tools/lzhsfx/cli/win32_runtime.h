// The tool's side of the Win32 seam: the stub's header reader and decoder run in the
// tool on win32_runtime.cpp, which implements the calls they make over POSIX with
// the ANSI code page taken as 932 (Shift-JIS). These are the controls the tool
// drives them with: archive sources, output handles, where relative names resolve,
// and a way back from the decoder's abort path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <windows.h>

namespace runtime {

// Opens a file for the stub's reads (`_lread`); HFILE_ERROR with errno set when it
// cannot be opened.
HFILE OpenFile(const std::string &path);
// Serves `size` bytes at `data`, which must stay valid until the handle is closed.
HFILE OpenMemory(const uint8_t *data, size_t size);
// Position and size of an open archive handle, and a seek to an absolute position.
uint64_t Tell(HFILE file);
uint64_t Size(HFILE file);
bool Seek(HFILE file, uint64_t position);
// Closes the handle like `_lclose`; closing HFILE_ERROR does nothing.
void Close(HFILE file);

// An output handle for `WriteFile` that writes to the descriptor; `CloseHandle`
// closes the descriptor.
HANDLE HandleForDescriptor(int fd);
// An output handle that takes every byte and keeps none.
HANDLE DiscardHandle();
// An output handle that appends what it is given to `*text`, up to `limit` bytes; the
// count of all bytes given goes on beyond it.
HANDLE CaptureHandle(std::string *text, size_t limit);
// Bytes taken by `WriteFile` since the program started, on any handle.
uint64_t BytesWritten();

// Relative file names of the name-taking calls resolve under this directory
// (AT_FDCWD, the current directory, at first).
void SetRootDirectory(int dir_fd);

// Runs `work` and returns true, or returns false when it ended the run through
// `ExitProcess` (the decoder's abort path): the abort then ends here instead of the
// process. `work` must hold nothing that needs destroying, since the abort jumps over
// its frames.
bool RunUntilAbort(void (*work)());

// The name the error box gives the archive (the stub's object `OwnPath`), in UTF-8.
void SetArchiveName(const std::string &name);
// Called from `PumpMessages`, which the decoder calls after every 64 KiB it writes.
void SetProgressStep(void (*step)());

} // namespace runtime

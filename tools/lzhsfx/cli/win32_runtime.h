// The tool's side of the Win32 seam: the stub's header reader and decoder run in the
// tool on win32_runtime.cpp, which serves the calls of stub_calls.h (archive reads,
// output writes, the deletion and the process end of the abort path) from tables of
// its own, so that an archive can be laid out from pieces and an output a capture, and an
// abort comes back to the tool. On the host win32_posix.cpp implements the other calls
// the stub's sources make; on Windows they are the system's. These are the controls
// the tool drives them with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <windows.h>

#include "byte_source.h"
#include "platform.h"

namespace runtime {

// Handles are the calling thread's: each thread that runs the stub's code opens its own.
//
// Serves the stub's reads (`_lread`) from `source`, which must stay valid until the
// handle is closed, through a buffer of read-ahead; HFILE_ERROR when no handle is free.
HFILE OpenSource(const lzhsfx::ByteSource *source);
// Position and size of an open archive handle, and a seek to an absolute position.
uint64_t Tell(HFILE file);
uint64_t Size(HFILE file);
bool Seek(HFILE file, uint64_t position);
// Reads like `_lread`.
UINT Read(HFILE file, void *buffer, UINT size);
// Closes the handle like `_lclose`; closing HFILE_ERROR does nothing.
void Close(HFILE file);

// An output handle for `WriteFile` that writes to the file; closing the handle closes
// the file.
HANDLE HandleForFile(cli::platform::NativeFile file);
// An output handle that takes every byte and keeps none.
HANDLE DiscardHandle();
// An output handle that appends what it is given to `*text`, up to `limit` bytes; the
// count of all bytes given goes on beyond it.
HANDLE CaptureHandle(std::string *text, size_t limit);
// Closes an output handle like `CloseHandle`.
bool CloseOutput(HANDLE output);
// Deletes a file by its Shift-JIS name like `DeleteFileA`.
bool DeleteOutput(const std::string &name);
// Bytes taken by `WriteFile` on this thread, on any handle, since it started.
uint64_t BytesWritten();

// Relative file names of the name-taking calls resolve under this folder (the
// current folder when null, as at first).
void SetRootDirectory(const cli::platform::Folder *root);

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

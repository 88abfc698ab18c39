// Runs independent tasks on a few threads. Tasks write only their own results, so
// the outcome does not depend on the number of threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>

namespace lzhsfx {

// The threads themselves, in parallel.cpp: std::thread, or Win32 threads where the
// compiler's runtime has no std::thread.
namespace threading {

// The number of processors, at least 1.
unsigned ProcessorCount();

// Calls work(context) on `extra` new threads and on this one, and returns when every
// call has returned. A thread that cannot be started leaves its share to the others.
void RunOnThreads(size_t extra, void (*work)(void *), void *context);

} // namespace threading

// The number of threads to use for `requested` (0: one per processor).
inline int ThreadCount(int requested) {
    if (requested > 0) {
        return requested;
    }
    return static_cast<int>(threading::ProcessorCount());
}

// Calls task(i) for every i below `count`, on up to `threads` threads, and returns
// when all are done. The first exception a task throws is rethrown here, after the
// other threads have finished.
template <typename Task> void ParallelFor(size_t count, int threads, const Task &task) {
    const size_t workers = std::min<size_t>(count, static_cast<size_t>(ThreadCount(threads)));
    if (workers <= 1) {
        for (size_t i = 0; i < count; ++i) {
            task(i);
        }
        return;
    }
    std::atomic<size_t> next{0};
    std::exception_ptr error;
    std::atomic<bool> failed{false};
    auto work = [&] {
        for (size_t i; !failed && (i = next++) < count;) {
            try {
                task(i);
            } catch (...) {
                if (!failed.exchange(true)) {
                    error = std::current_exception();
                }
            }
        }
    };
    threading::RunOnThreads(
        workers - 1, [](void *context) { (*static_cast<decltype(work) *>(context))(); }, &work);
    if (error) {
        std::rethrow_exception(error);
    }
}

} // namespace lzhsfx

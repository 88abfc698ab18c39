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

// The tasks below a count, taken one at a time by whichever thread asks next. After
// the first task that throws, no more are handed out; Rethrow throws its exception
// once every thread is done.
class TaskQueue {
  public:
    explicit TaskQueue(size_t count) : count_(count) {}

    // Runs tasks on the calling thread until none is left.
    template <typename Task> void Work(const Task &task) {
        for (size_t i; !failed_ && (i = next_++) < count_;) {
            try {
                task(i);
            } catch (...) {
                if (!failed_.exchange(true)) {
                    error_ = std::current_exception();
                }
            }
        }
    }

    void Rethrow() const {
        if (error_) {
            std::rethrow_exception(error_);
        }
    }

  private:
    size_t count_;
    std::atomic<size_t> next_{0};
    std::atomic<bool> failed_{false};
    std::exception_ptr error_;
};

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
    TaskQueue queue(count);
    auto work = [&] { queue.Work(task); };
    threading::RunOnThreads(
        workers - 1, [](void *context) { (*static_cast<decltype(work) *>(context))(); }, &work);
    queue.Rethrow();
}

} // namespace lzhsfx

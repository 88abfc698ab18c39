// The threads of ParallelFor.
#include "parallel.h"

#ifdef _WIN32
#include <process.h>
#include <vector>
#include <windows.h>
#else
#include <system_error>
#include <thread>
#include <vector>
#endif

namespace lzhsfx {
namespace threading {

#ifdef _WIN32

namespace {

struct Call {
    void (*work)(void *);
    void *context;
};

unsigned __stdcall Start(void *call) {
    const Call *c = static_cast<const Call *>(call);
    c->work(c->context);
    return 0;
}

} // namespace

unsigned ProcessorCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

void RunOnThreads(size_t extra, void (*work)(void *), void *context) {
    Call call = {work, context};
    std::vector<HANDLE> pool;
    for (size_t i = 0; i < extra; ++i) {
        // _beginthreadex rather than CreateThread: the tasks use the C runtime.
        const uintptr_t t = _beginthreadex(nullptr, 0, Start, &call, 0, nullptr);
        if (t == 0) {
            break;
        }
        pool.push_back(reinterpret_cast<HANDLE>(t));
    }
    work(context);
    for (HANDLE t : pool) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
}

#else

unsigned ProcessorCount() {
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

void RunOnThreads(size_t extra, void (*work)(void *), void *context) {
    std::vector<std::thread> pool;
    for (size_t i = 0; i < extra; ++i) {
        try {
            pool.emplace_back(work, context);
        } catch (const std::system_error &) {
            break;
        }
    }
    work(context);
    for (std::thread &t : pool) {
        t.join();
    }
}

#endif

} // namespace threading
} // namespace lzhsfx

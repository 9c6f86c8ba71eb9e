// Splits the rows of a picture into contiguous ranges, one per thread, and works them at once.
// Each range is handed to work(first, last); work must touch only its own rows' output.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

namespace steps {

// Below this many samples a picture is worked on the calling thread: starting threads would cost
// more than they save.
constexpr std::size_t kSamplesPerThread = std::size_t(1) << 20;
constexpr std::size_t kMostThreads = 16;

// The cores this process may run on: its CPU affinity where the system has one, which
// hardware_concurrency ignores.
std::size_t usableCores();

// The most threads one step may use; 0 (the default) means usableCores(). A batch that runs a
// worker process per core sets 1 in each, so the steps never run cores x cores threads.
void setThreadLimit(std::size_t limit);
std::size_t threadLimit();

// Starts a thread running task; throws std::system_error when the system refuses one.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;
std::thread startThread(std::function<void()> task);

// Works rows [0, rows) in count contiguous ranges, the first on the calling thread and the others
// on threads from start. A range whose thread cannot be started is worked on the calling thread
// instead, so every row is worked exactly once whatever the system refuses. An exception thrown
// by work is thrown again once every started thread has joined.
template <class Work> void forRowRangesOn(std::size_t count, std::size_t rows, Work &work, const ThreadStarter &start)
{
    std::vector<std::exception_ptr> failures(count);
    auto range = [&](std::size_t i) {
        try {
            work(rows * i / count, rows * (i + 1) / count);
        } catch (...) {
            failures[i] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    try {
        threads.reserve(count - 1);
    } catch (...) {
        // No room even for the list: every range runs here.
    }
    // Threads start in order; after the first refusal the rest of the ranges run here.
    std::size_t started = 1;
    while (started < count && threads.size() < threads.capacity()) {
        try {
            const std::size_t i = started;
            threads.push_back(start([&range, i] { range(i); })); // within capacity: never throws
        } catch (...) {
            break;
        }
        ++started;
    }
    range(0);
    for (std::size_t i = started; i < count; ++i)
        range(i);
    for (std::thread &thread : threads)
        thread.join();
    for (const std::exception_ptr &failure : failures)
        if (failure)
            std::rethrow_exception(failure);
}

// Works the rows of a picture of rows x samplesPerRow samples in as many ranges as its size and
// the thread limit allow.
template <class Work> void forRowRanges(std::size_t rows, std::size_t samplesPerRow, Work work)
{
    const std::size_t bySize = std::max<std::size_t>(1, rows * samplesPerRow / kSamplesPerThread);
    const std::size_t count = std::min({threadLimit(), bySize, rows, kMostThreads});
    if (count <= 1) {
        work(std::size_t(0), rows);
        return;
    }
    forRowRangesOn(count, rows, work, ThreadStarter(startThread));
}

} // namespace steps

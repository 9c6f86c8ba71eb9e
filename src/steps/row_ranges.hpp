// Splits the rows of a picture into contiguous ranges, one per core, and works them at once.
// Each range is handed to work(first, last); work must touch only its own rows' output.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace steps {

// Below this many samples a picture is worked on the calling thread: starting threads would cost
// more than they save.
constexpr std::size_t kSamplesPerThread = std::size_t(1) << 20;

template <class Work> void forRowRanges(std::size_t rows, std::size_t samplesPerRow, Work work)
{
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t bySize = std::max<std::size_t>(1, rows * samplesPerRow / kSamplesPerThread);
    const std::size_t count = std::min({cores, bySize, rows, std::size_t(16)});
    if (count <= 1) {
        work(std::size_t(0), rows);
        return;
    }
    // An exception (out of memory for a range's scratch rows) must not end the process: each
    // thread keeps its own, and the first is thrown again once every thread has joined.
    std::vector<std::exception_ptr> failures(count);
    std::vector<std::thread> threads;
    threads.reserve(count - 1);
    auto range = [&](std::size_t i) {
        try {
            work(rows * i / count, rows * (i + 1) / count);
        } catch (...) {
            failures[i] = std::current_exception();
        }
    };
    for (std::size_t i = 1; i < count; ++i)
        threads.emplace_back(range, i);
    range(0);
    for (std::thread &thread : threads)
        thread.join();
    for (const std::exception_ptr &failure : failures)
        if (failure)
            std::rethrow_exception(failure);
}

} // namespace steps

// The thread budget of the steps: the cores this process may use, and the limit a batch sets.
#include "row_ranges.hpp"

#include <utility>

#ifdef __linux__
#include <sched.h>
#endif

namespace steps {

namespace {

std::atomic<std::size_t> limitSet{0};

} // namespace

std::size_t usableCores()
{
#ifdef __linux__
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        const int count = CPU_COUNT(&allowed);
        if (count > 0)
            return std::size_t(count);
    }
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

void setThreadLimit(std::size_t limit) { limitSet.store(limit, std::memory_order_relaxed); }

std::size_t threadLimit()
{
    const std::size_t limit = limitSet.load(std::memory_order_relaxed);
    return limit > 0 ? limit : usableCores();
}

std::thread startThread(std::function<void()> task) { return std::thread(std::move(task)); }

} // namespace steps

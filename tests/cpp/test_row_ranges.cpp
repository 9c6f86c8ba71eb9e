// Rows shared among threads: every row worked once, whatever the system refuses.
#include "row_ranges.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

using namespace steps;

namespace {

// Counts how often each row is worked.
struct RowCounts {
    std::vector<std::atomic<int>> counts;
    explicit RowCounts(std::size_t rows) : counts(rows) {}
    void operator()(std::size_t first, std::size_t last)
    {
        for (std::size_t row = first; row < last; ++row)
            counts[row].fetch_add(1);
    }
    bool eachOnce() const
    {
        for (const std::atomic<int> &count : counts)
            if (count.load() != 1)
                return false;
        return true;
    }
};

// Starts the first allowed threads, then refuses as the system does when it has no more.
ThreadStarter refusingAfter(int allowed)
{
    auto left = std::make_shared<int>(allowed);
    return [left](std::function<void()> task) {
        if ((*left)-- <= 0)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(task));
    };
}

} // namespace

TEST(RowRanges, EveryRowOnceForAnySplit)
{
    for (std::size_t rows : {1u, 2u, 7u, 16u, 17u, 1000u})
        for (std::size_t count : {2u, 3u, 16u}) {
            if (count > rows)
                continue;
            RowCounts counts(rows);
            forRowRangesOn(count, rows, counts, ThreadStarter(startThread));
            EXPECT_TRUE(counts.eachOnce()) << rows << " rows in " << count << " ranges";
        }
}

TEST(RowRanges, RefusedThreadsLeaveTheirRowsToTheCaller)
{
    for (int allowed : {0, 1, 3}) {
        RowCounts counts(100);
        forRowRangesOn(std::size_t(5), std::size_t(100), counts, refusingAfter(allowed));
        EXPECT_TRUE(counts.eachOnce()) << allowed << " threads allowed";
    }
}

TEST(RowRanges, WorkFailureIsThrownAfterEveryThreadJoined)
{
    std::atomic<int> finished{0};
    auto work = [&finished](std::size_t first, std::size_t) {
        if (first == 0)
            throw std::runtime_error("range 0");
        finished.fetch_add(1);
    };
    EXPECT_THROW(forRowRangesOn(std::size_t(4), std::size_t(40), work, ThreadStarter(startThread)), std::runtime_error);
    EXPECT_EQ(finished.load(), 3);
}

TEST(RowRanges, ThreadLimitCapsTheSplit)
{
    setThreadLimit(1);
    std::atomic<int> ranges{0};
    forRowRanges(std::size_t(4000), std::size_t(4000), [&ranges](std::size_t, std::size_t) { ranges.fetch_add(1); });
    EXPECT_EQ(ranges.load(), 1);
    setThreadLimit(0);
    EXPECT_EQ(threadLimit(), usableCores());
    EXPECT_GE(usableCores(), 1u);
}

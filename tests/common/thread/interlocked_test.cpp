#include <gtest/gtest.h>

#include <windows.h>

#include <thread>
#include <vector>

#include "common/thread/interlocked.h"

namespace {

TEST(Interlocked, ThirtyTwoBitResults)
{
    volatile LONG value = 5;
    EXPECT_EQ(6, AtomicIncrement(&value));
    EXPECT_EQ(5, AtomicDecrement(&value));
    EXPECT_EQ(5, AtomicExchange(&value, 9));
    EXPECT_EQ(9, AtomicExchangeAdd(&value, -4));
    EXPECT_EQ(5, AtomicCompareExchange(&value, 1, 4));  // no match: unchanged
    EXPECT_EQ(5, value);
    EXPECT_EQ(5, AtomicCompareExchange(&value, 1, 5));
    EXPECT_EQ(1, value);
}

TEST(Interlocked, SixtyFourBitResultsUseAllBits)
{
    const LONG64 big = 0x100000000LL;
    volatile LONG64 value = big;
    EXPECT_EQ(big + 1, AtomicIncrement(&value));
    EXPECT_EQ(big, AtomicDecrement(&value));
    EXPECT_EQ(big, AtomicExchange(&value, 3 * big));
    EXPECT_EQ(3 * big, AtomicExchangeAdd(&value, big));
    EXPECT_EQ(4 * big, AtomicCompareExchange(&value, 1, 4));
    EXPECT_EQ(4 * big, value);
    EXPECT_EQ(4 * big, AtomicCompareExchange(&value, 7, 4 * big));
    EXPECT_EQ(7, value);
}

TEST(Interlocked, PointerResults)
{
    int a = 0;
    int b = 0;
    void* volatile slot = &a;
    EXPECT_EQ(&a, AtomicExchange(&slot, &b));
    EXPECT_EQ(&b, AtomicCompareExchange(&slot, nullptr, &a));
    EXPECT_EQ(&b, slot);
    EXPECT_EQ(&b, AtomicCompareExchange(&slot, nullptr, &b));
    EXPECT_EQ(nullptr, slot);
}

TEST(Interlocked, NoIncrementIsLostAcrossThreads)
{
    volatile LONG counter = 0;
    volatile LONG64 wide = 0;
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                AtomicIncrement(&counter);
                AtomicExchangeAdd(&wide, 2);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(80000, counter);
    EXPECT_EQ(160000, wide);
}

}  // namespace

// The os services' contract as the serial module and the reply reader rely on it.
#include "os/os.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

struct Events {
    Os::EventHandle first = Os::createEvent(Os::EventReset::Manual);
    Os::EventHandle second = Os::createEvent(Os::EventReset::Auto);
    ~Events() {
        Os::closeEvent(first);
        Os::closeEvent(second);
    }
};

// first is manual-reset, second auto-reset.
TEST(Os, WaitFirstOfPrefersTheFirstAndConsumesOnlyAutoReset) {
    Events e;
    ASSERT_NE(e.first, nullptr);
    ASSERT_NE(e.second, nullptr);
    EXPECT_EQ(Os::waitFirstOf(e.first, e.second, 10), Os::WaitResult::Timeout);
    Os::setEvent(e.second);
    Os::setEvent(e.second); // several sets, one wake-up
    EXPECT_EQ(Os::waitFirstOf(e.first, e.second, 0), Os::WaitResult::Second);
    EXPECT_FALSE(Os::waitEvent(e.second, 0)); // consumed
    Os::setEvent(e.second);
    Os::setEvent(e.first);
    EXPECT_EQ(Os::waitFirstOf(e.first, e.second, 0), Os::WaitResult::First);
    EXPECT_TRUE(Os::waitEvent(e.first, 0)); // manual-reset stays set
    Os::resetEvent(e.first);
    EXPECT_EQ(Os::waitFirstOf(e.first, e.second, 0), Os::WaitResult::Second); // left untouched
}

std::atomic<Os::EventHandle> wakeTarget{nullptr};
Os::Lock counterLock;
uint32_t counter = 0; // guarded by counterLock
std::atomic<int> countersDone{0};

unsigned wakeAfterSleep() {
    Os::sleepMs(20);
    Os::setEvent(wakeTarget.load());
    return 0;
}

unsigned countUnderLock() {
    for (int i = 0; i < 100000; ++i) {
        Os::enterLock(counterLock);
        ++counter;
        Os::leaveLock(counterLock);
    }
    countersDone.fetch_add(1, std::memory_order_release);
    return 0;
}

TEST(Os, ThreadWakesAWaiterAndTimeAdvances) {
    Events e;
    wakeTarget.store(e.second);
    const uint32_t started = Os::tickCount();
    uint32_t id = 0;
    Os::ThreadHandle thread = Os::startThread(wakeAfterSleep, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_TRUE(Os::waitEvent(e.second, 5000)); // hang guard
    EXPECT_GE(Os::tickCount() - started, 19u);
    Os::closeThread(thread);
}

TEST(Os, LockExcludes) {
    Os::initLock(counterLock);
    Os::ThreadHandle one = Os::startThread(countUnderLock, nullptr);
    Os::ThreadHandle two = Os::startThread(countUnderLock, nullptr);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    const uint32_t started = Os::tickCount();
    while (countersDone.load(std::memory_order_acquire) < 2 && Os::tickCount() - started < 20000) {
        Os::sleepMs(1);
    }
    Os::closeThread(one);
    Os::closeThread(two);
    Os::enterLock(counterLock);
    EXPECT_EQ(counter, 200000u);
    Os::leaveLock(counterLock);
    Os::deleteLock(counterLock);
}

} // namespace

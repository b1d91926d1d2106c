#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "base/Owners.h"
#include "base/Signal.h"

namespace {

// Items handed from one thread to several, each taker sleeping on the signal when there are none:
// the givers wake only takers that said they sleep, as the extraction's threads do.
struct Queue {
    explicit Queue(bool variable) : wake(variable) { ::InitializeCriticalSection(&lock); }
    ~Queue() { ::DeleteCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    Signal wake;
    int items = 0;
    int taken = 0;
    int sleepers = 0;
    bool done = false;
};

DWORD WINAPI Take(void* param) {
    Queue& q = *static_cast<Queue*>(param);
    Locked held(&q.lock);
    for (;;) {
        while (q.items == 0 && !q.done) {
            ++q.sleepers;
            q.wake.Wait(&q.lock);
        }
        if (q.items == 0) return 0;
        --q.items;
        ++q.taken;
    }
}

}  // namespace

// No wake is lost, with a condition variable and with XP's semaphore: every item is taken and
// every taker ends.
TEST(Signal, EveryWakeReachesAWaiter) {
    for (const bool variable : {true, false}) {
        SCOPED_TRACE(variable ? "condition variable" : "semaphore");
        Queue q(variable);
        ASSERT_TRUE(q.wake.Ready());
        std::vector<UniqueHandle> takers;
        std::vector<HANDLE> handles;
        for (int k = 0; k < 3; ++k) {
            takers.emplace_back(::CreateThread(nullptr, 0, Take, &q, 0, nullptr));
            ASSERT_TRUE(takers.back());
            handles.push_back(takers.back().get());
        }
        constexpr int kItems = 20000;
        for (int i = 0; i < kItems; ++i) {
            Locked held(&q.lock);
            ++q.items;
            if (q.sleepers > 0) {
                --q.sleepers;
                q.wake.Wake();
            }
        }
        {
            Locked held(&q.lock);
            q.done = true;
            q.wake.Wake(q.sleepers);
            q.sleepers = 0;
        }
        EXPECT_EQ(::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, 20000),
                  WAIT_OBJECT_0);
        Locked held(&q.lock);
        EXPECT_EQ(q.taken, kItems);
    }
}

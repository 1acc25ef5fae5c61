// Turns at setting lines: whatever order the threads start in, they go in
// the order the turns were taken, and a turn that never runs holds no one up.

#include "Ostrel/scheduling/TurnOrder.h"

#include <mutex>
#include <vector>

#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

namespace {

TEST(TurnOrderTest, ThreadsGoInTheOrderTheirTurnsWereTakenWhateverOrderTheyStartIn)
{
    // Many rounds, so that a wait that lets a thread through early shows.
    for (int round = 0; round < 50; ++round) {
        TurnOrder order;
        std::vector<boost::shared_ptr<TurnOrder::Turn>> turns;
        for (int i = 0; i < 6; ++i)
            turns.push_back(order.take());
        std::mutex mutex;
        std::vector<int> went;
        std::vector<boost::thread> threads;
        for (int i = 5; i >= 0; --i) {
            threads.emplace_back([&, i] {
                turns[i]->await();
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    went.push_back(i);
                }
                turns[i]->done();
            });
        }
        for (boost::thread& t : threads)
            t.join();
        ASSERT_EQ(went, (std::vector<int>{0, 1, 2, 3, 4, 5})) << "round " << round;
    }
}

TEST(TurnOrderTest, ATurnDroppedOrDoneOutOfOrderHoldsNoOneUp)
{
    TurnOrder order;
    auto first = order.take();
    auto second = order.take();
    auto third = order.take();
    second->done();  // done before its turn came, as a thread stopped early
    second->done();  // a second call changes nothing
    first.reset();   // dropped without done(), as a thread never started
    boost::thread waiting([&] { third->await(); });
    EXPECT_TRUE(waiting.try_join_for(boost::chrono::seconds(10)));
}

TEST(TurnOrderTest, AWaitForATurnEndsByAnInterruption)
{
    TurnOrder order;
    const auto first = order.take();
    const auto second = order.take();
    bool interrupted = false;
    boost::thread waiting([&] {
        try {
            second->await();
        } catch (const boost::thread_interrupted&) {
            interrupted = true;
        }
    });
    waiting.interrupt();
    ASSERT_TRUE(waiting.try_join_for(boost::chrono::seconds(10)));
    EXPECT_TRUE(interrupted);
}

}  // namespace

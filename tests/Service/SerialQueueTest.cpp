#include "Service/SerialQueue.h"

#include "support/Eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace torvex {
namespace {
using testing::eventually;
using namespace std::chrono_literals;

TEST(SerialQueueTest, RunsJobsOneAtATimeInTheirOrderPastOneThatThrows) {
    SerialQueue queue;
    std::mutex lock;
    std::vector<int> ran;
    std::atomic<int> running{0}, most{0};
    std::vector<std::jthread> posters;
    for (int poster = 0; poster < 4; ++poster) {
        posters.emplace_back([&, poster] {
            for (int n = 0; n < 100; ++n) {
                queue.post([&, value = poster * 1000 + n] {
                    most = std::max(most.load(), ++running);
                    {
                        const std::lock_guard guard(lock);
                        ran.push_back(value);
                    }
                    --running;
                    if (value % 17 == 0) throw std::runtime_error("a failing job");
                });
            }
        });
    }
    posters.clear();
    ASSERT_TRUE(eventually([&] {
        const std::lock_guard guard(lock);
        return ran.size() == 400;
    }));
    EXPECT_EQ(most.load(), 1);
    for (int poster = 0; poster < 4; ++poster) {
        std::vector<int> own;
        for (const int value : ran)
            if (value / 1000 == poster) own.push_back(value % 1000);
        EXPECT_TRUE(std::is_sorted(own.begin(), own.end()));
    }
}

TEST(SerialQueueTest, EndingDropsWhatWaitsAndMayHappenInItsOwnJob) {
    std::atomic<int> ran{0};
    std::latch started(1), release(1), dropped(5);
    // The job in progress ends only once the waiting ones are gone.
    std::jthread releaser([&] {
        dropped.wait();
        release.count_down();
    });
    {
        SerialQueue queue;
        queue.post([&] {
            started.count_down();
            release.wait();
            ++ran;
        });
        for (int n = 0; n < 5; ++n) {
            const std::shared_ptr<void> whenGone(nullptr, [&](void*) { dropped.count_down(); });
            queue.post([&ran, whenGone] { ++ran; });
        }
        started.wait();
        EXPECT_EQ(queue.pending(), 5u);
    }  // waits for the job in progress only
    EXPECT_EQ(ran, 1);

    // Its last share dropped by its own job: it ends on its own thread.
    std::latch letGo(1);
    auto queue = std::make_shared<SerialQueue>();
    const std::weak_ptr<SerialQueue> watched = queue;
    queue->post([queue, &letGo] { letGo.wait(); });
    queue.reset();
    letGo.count_down();
    EXPECT_TRUE(eventually([&] { return watched.expired(); }));
}

} // namespace
} // namespace torvex

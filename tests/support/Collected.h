#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace torvex::testing {

// Collects what a callback receives, from any thread and even after the collector's owner is gone
// (the sink shares the store), and lets a test wait for it.
template <class Item>
class Collected {
public:
    std::function<void(const Item&)> sink() const {
        return [store = store_](const Item& item) {
            const std::lock_guard guard(store->lock);
            store->items.push_back(item);
            store->added.notify_all();
        };
    }

    std::vector<Item> all() const {
        const std::lock_guard guard(store_->lock);
        return store_->items;
    }

    // Waits until the items so far satisfy `done` (or `timeout` passes); answers whether they did.
    // `done` runs under the store's lock: it must not call back into this collector.
    bool waitFor(const std::function<bool(const std::vector<Item>&)>& done, std::chrono::milliseconds timeout) const {
        std::unique_lock guard(store_->lock);
        return store_->added.wait_for(guard, timeout, [&] { return done(store_->items); });
    }

private:
    struct Store {
        std::mutex lock;
        std::condition_variable added;
        std::vector<Item> items;
    };
    std::shared_ptr<Store> store_ = std::make_shared<Store>();
};

} // namespace torvex::testing

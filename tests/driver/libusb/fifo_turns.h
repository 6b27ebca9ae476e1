// Turns handed out in the order they were asked for, one queue per key: a thread that gives its
// turn back and asks again at once goes behind those already waiting.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace vm::testing {

class FifoTurns {
public:
    // Waits until every earlier request for the key has had its turn and given it back.
    void Take(int key) {
        std::unique_lock lock(mutex_);
        Queue& q = queues_[key];
        const std::uint64_t ticket = q.next++;
        changed_.wait(lock, [&] { return q.serving == ticket; });
    }
    void Give(int key) {
        {
            std::lock_guard lock(mutex_);
            ++queues_[key].serving;
        }
        changed_.notify_all();
    }
    // The turns asked for on the key and not given back yet (the one held included).
    std::size_t Asked(int key) const {
        std::lock_guard lock(mutex_);
        const auto it = queues_.find(key);
        return it == queues_.end() ? 0
                                   : static_cast<std::size_t>(it->second.next - it->second.serving);
    }

private:
    struct Queue {
        std::uint64_t next = 0;
        std::uint64_t serving = 0;
    };
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::unordered_map<int, Queue> queues_;  // elements stay where they are as it grows
};

}  // namespace vm::testing

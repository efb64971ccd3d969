#pragma once
// A two-stage pipeline on the worker pool: one thread produces items in
// order, other threads process them meanwhile, and the producing thread
// collects the processed items in production order.
//
// The result does not depend on which thread processed an item, so a caller
// whose stages are deterministic gets the same output for every thread count.
// A failure in either stage reaches the caller, as with parallel_rows; a
// failing item is reported when it is collected, in order.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <type_traits>
#include <utility>

#include "pool/pool.hpp"
#include "pool/signal.hpp"

namespace trevalin {

namespace detail {

// Items pass through a ring of `size` slots. The producer publishes items in
// order; processors claim them in that order; the producer collects them in
// that order, processing an item itself when no one has claimed it. So the
// producer never waits for an item that nobody is working on, and a pipeline
// whose processor never gets a thread still ends.
template <class Item, class Work>
class PipelineRing {
public:
    PipelineRing(std::size_t size, Work& work) : size_(size), slots_(std::make_unique<Slot[]>(size)), work_(work) {}

    // Producer side. When the ring is full the oldest item is collected first.
    template <class Collect>
    void push(Item&& item, Collect& collect) {
        if (produced_ - collected_ == size_) collect_oldest(collect);
        Slot& slot = slots_[produced_ % size_];
        slot.item = std::move(item);
        slot.error = nullptr;
        slot.done.store(false, std::memory_order_relaxed);
        ++produced_;
        published_.store(2 * produced_, std::memory_order_release);
        published_.notify_one();
    }

    // Producer side, after the last push: collects every item still queued.
    template <class Collect>
    void finish(Collect& collect) {
        close();
        while (collected_ < produced_) collect_oldest(collect);
    }

    // Producer side, when it stops early: processors give up.
    void abandon() {
        abandoned_.store(true, std::memory_order_relaxed);
        close();
    }

    // Processor side: processes items until the producer has finished and
    // none is left, or an item fails.
    void serve() {
        for (;;) {
            const std::uint64_t published = published_.load(std::memory_order_acquire);
            if (abandoned_.load(std::memory_order_relaxed)) return;
            std::size_t i;
            if (claim(static_cast<std::size_t>(published / 2), i)) {
                if (!process(i)) return;
                continue;
            }
            if (published & 1) return;
            wait_for_change(published);
        }
    }

private:
    struct Slot {
        Item item{};
        std::exception_ptr error;
        std::atomic<bool> done{false};
    };

    void close() {
        published_.store(2 * produced_ + 1, std::memory_order_release);
        published_.notify_all();
    }

    // Takes the oldest item not taken yet, if it lies below `limit`.
    bool claim(std::size_t limit, std::size_t& i) {
        std::size_t c = claimed_.load(std::memory_order_relaxed);
        while (c < limit)
            if (claimed_.compare_exchange_weak(c, c + 1, std::memory_order_relaxed)) {
                i = c;
                return true;
            }
        return false;
    }

    // Processes item i; false when that failed (the failure stays with it).
    bool process(std::size_t i) {
        Slot& slot = slots_[i % size_];
        bool ok = true;
        try {
            work_(slot.item);
        } catch (...) {
            slot.error = std::current_exception();
            ok = false;
        }
        slot.done.store(true, std::memory_order_release);
        return ok;
    }

    // Items come every few microseconds, with gaps of tens of microseconds
    // now and then: a spin of some 40 microseconds catches nearly all of them
    // without a sleep, whose wake-up would cost the producer a system call
    // on its own critical path.
    void wait_for_change(std::uint64_t seen) {
        for (int spin = 0; spin < 4096; ++spin) {
            if (published_.load(std::memory_order_acquire) != seen) return;
            spin_pause();
        }
        published_.wait(seen, std::memory_order_acquire);
    }

    template <class Collect>
    void collect_oldest(Collect& collect) {
        const std::size_t i = collected_;
        Slot& slot = slots_[i % size_];
        std::size_t mine;
        if (claim(i + 1, mine)) {
            process(mine);
        } else {
            // Claimed by a processor that is working on it right now.
            while (!slot.done.load(std::memory_order_acquire)) spin_pause();
        }
        ++collected_;
        if (slot.error) std::rethrow_exception(slot.error);
        collect(std::move(slot.item));
    }

    const std::size_t size_;
    std::unique_ptr<Slot[]> slots_;
    Work& work_;
    std::size_t produced_ = 0;   // producer side only
    std::size_t collected_ = 0;  // producer side only
    // 2 x items published, + 1 once the producer has finished.
    alignas(64) std::atomic<std::uint64_t> published_{0};
    alignas(64) std::atomic<std::size_t> claimed_{0};
    std::atomic<bool> abandoned_{false};
};

}  // namespace detail

// Calls produce(push), where push(Item) queues an item; work(Item&) runs on
// each queued item, on a pool thread or on the producing thread; collect(Item)
// runs on the producing thread for every item in push order. At most `ring`
// (at least 1) items are queued at once. Returns when every item is collected;
// the first failure of produce, or of work on the earliest failing item,
// reaches the caller, and the items after it are not collected.
template <class Item, class Produce, class Work, class Collect>
void pipeline(std::size_t ring, Produce&& produce, Work&& work, Collect&& collect) {
    using Ring = detail::PipelineRing<Item, std::remove_reference_t<Work>>;
    Ring queue(ring > 0 ? ring : 1, work);
    // Item 0 produces, item 1 processes. With no second thread free, the two
    // run one after the other: the producer then does all the work itself,
    // whenever the ring is full and at the end.
    parallel_rows(2, [&](std::size_t role) {
        if (role == 1) return queue.serve();
        try {
            produce([&](Item item) { queue.push(std::move(item), collect); });
            queue.finish(collect);
        } catch (...) {
            queue.abandon();
            throw;
        }
    });
}

}  // namespace trevalin

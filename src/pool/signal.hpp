#pragma once
// Waiting on another thread: a spin hint, and a count that threads wait for.

#include <atomic>
#include <cstddef>

namespace trevalin {

// Tells the CPU that the thread is spinning on a flag (it eases the pipeline
// and, with hyper-threads, the sibling thread); nothing where there is no hint.
inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// A count that other threads wait for. Waiting spins a while, then sleeps;
// a store wakes the sleepers, if there are any. Most waits end while
// spinning, and a wake costs an atomic update shared by both cores besides
// the system call, so a store without sleepers skips it. (The sleeper counts
// itself before it looks at the value, the writer stores before it looks at
// the sleepers, both sequentially consistent: one of them sees the other.)
class Signal {
public:
    std::size_t load() const { return value_.load(std::memory_order_acquire); }

    void store(std::size_t v) {
        value_.store(v, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) != 0) value_.notify_all();
    }

    // Waits until the value is no longer `seen`, and returns it.
    std::size_t wait_past(std::size_t seen) {
        for (int spin = 0; spin < 2048; ++spin) {
            const std::size_t v = load();
            if (v != seen) return v;
            spin_pause();
        }
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        std::size_t v;
        while ((v = value_.load(std::memory_order_seq_cst)) == seen) value_.wait(seen, std::memory_order_seq_cst);
        sleepers_.fetch_sub(1, std::memory_order_relaxed);
        return v;
    }

private:
    std::atomic<std::size_t> value_{0};
    std::atomic<int> sleepers_{0};
};

}  // namespace trevalin

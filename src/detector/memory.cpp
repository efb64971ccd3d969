#include "detector/memory.hpp"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

namespace trevalin {
namespace {

using Clock = std::chrono::steady_clock;

// The kept blocks, and the thread that frees them once they have waited
// kKeptBlockIdleMs without a new block being kept. Never destroyed: the
// thread may still wait on it while the process exits.
class Keeper {
public:
    static constexpr int kSlots = 2;  // the field and the list of strong norms
    struct Block {
        void* data = nullptr;
        std::size_t bytes = 0;
        Clock::time_point kept;
    };

    // The kept block of exactly `bytes`. Without one the images have changed
    // size, and the blocks are freed at once rather than held next to the
    // memory of this call.
    void* take(std::size_t bytes) {
        Block dropped[kSlots];
        {
            std::lock_guard<std::mutex> lock(m_);
            for (Block& b : blocks_) {
                if (b.data && b.bytes == bytes) return std::exchange(b, Block()).data;
            }
            for (int i = 0; i < kSlots; ++i) dropped[i] = std::exchange(blocks_[i], Block());
        }
        for (const Block& b : dropped) std::free(b.data);
        return nullptr;
    }

    // False when there is no thread to free the block later.
    bool keep(void* data, std::size_t bytes) {
        void* dropped = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_);
            if (!started_ && !start()) return false;
            // The empty slot, else the block kept longest ago.
            Block* slot = &blocks_[0];
            for (Block& b : blocks_) {
                if (!b.data) {
                    slot = &b;
                    break;
                }
                if (b.kept < slot->kept) slot = &b;
            }
            dropped = slot->data;
            *slot = Block{data, bytes, Clock::now()};
            last_kept_ = slot->kept;
        }
        cv_.notify_one();
        std::free(dropped);
        return true;
    }

    std::size_t bytes() {
        std::lock_guard<std::mutex> lock(m_);
        std::size_t total = 0;
        for (const Block& b : blocks_) total += b.data ? b.bytes : 0;
        return total;
    }

    // After fork(): a keeper for the child with the blocks (its own copies),
    // no thread, and locks nobody holds. Runs with malloc usable.
    Keeper* for_child() const {
        Keeper* k = new (std::nothrow) Keeper();
        if (!k) {
            for (const Block& b : blocks_) std::free(b.data);
            return nullptr;
        }
        for (int i = 0; i < kSlots; ++i) k->blocks_[i] = blocks_[i];
        k->last_kept_ = last_kept_;
        return k;
    }

    void lock() { m_.lock(); }
    void unlock() { m_.unlock(); }

private:
    bool start() {
        // The thread takes no signals: they belong to the interpreter's threads.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        try {
            std::thread([this] { release_when_idle(); }).detach();
            started_ = true;
        } catch (...) {
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return started_;
    }

    void release_when_idle() {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            bool any = false;
            for (const Block& b : blocks_) any = any || b.data;
            if (!any) {
                cv_.wait(lock);
                continue;
            }
            const Clock::time_point due = last_kept_ + std::chrono::milliseconds(kKeptBlockIdleMs);
            if (Clock::now() < due) {
                cv_.wait_until(lock, due);
                continue;
            }
            Block freed[kSlots];
            for (int i = 0; i < kSlots; ++i) freed[i] = std::exchange(blocks_[i], Block());
            lock.unlock();
            for (const Block& b : freed) std::free(b.data);
            lock.lock();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    Block blocks_[kSlots];
    Clock::time_point last_kept_;
    bool started_ = false;
};

std::mutex g_make;
Keeper* g_keeper = nullptr;  // guarded by g_make

void atfork_prepare() {
    g_make.lock();
    if (g_keeper) g_keeper->lock();
}
void atfork_parent() {
    if (g_keeper) g_keeper->unlock();
    g_make.unlock();
}
void atfork_child() {
    // The parent's keeper stays locked and is abandoned with its thread.
    if (g_keeper) g_keeper = g_keeper->for_child();
    g_make.unlock();
}

// The keeper, made on first use; nullptr when there is no memory for it.
Keeper* keeper(bool make) {
    std::lock_guard<std::mutex> lock(g_make);
    if (!g_keeper && make) {
        static const bool registered = pthread_atfork(atfork_prepare, atfork_parent, atfork_child) == 0;
        if (registered) g_keeper = new (std::nothrow) Keeper();
    }
    return g_keeper;
}

}  // namespace

void* take_kept_block(std::size_t bytes) noexcept {
    if (bytes < kKeptBlockBytes) return nullptr;
    Keeper* k = keeper(false);
    return k ? k->take(bytes) : nullptr;
}

void keep_block(void* data, std::size_t bytes) noexcept {
    if (data && bytes >= kKeptBlockBytes) {
        Keeper* k = keeper(true);
        if (k && k->keep(data, bytes)) return;
    }
    std::free(data);
}

std::size_t kept_block_bytes() noexcept {
    Keeper* k = keeper(false);
    return k ? k->bytes() : 0;
}

}  // namespace trevalin

// The process-wide worker pool: its size, its threads, the row-parallel loop and a fork-safe restart.
#include "pool/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace trevalin {
namespace {

// --- sizing -----------------------------------------------------------------

// A whole decimal number, nothing else (no sign, no blanks).
bool parse_count(const char* s, std::size_t& out) {
    if (!s || !*s) return false;
    unsigned long long v = 0;
    for (const char* p = s; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        if (__builtin_mul_overflow(v, 10ull, &v) || __builtin_add_overflow(v, static_cast<unsigned long long>(*p - '0'), &v))
            return false;
    }
    out = static_cast<std::size_t>(v);
    return true;
}

bool read_first_line(const std::string& path, std::string& line) {
    std::ifstream f(path);
    return f && std::getline(f, line);
}

// CPU quota of a cgroup directory as quota / period, rounded down (at least 1);
// 0 when the directory sets no quota.
std::size_t quota_v2(const std::string& dir) {
    std::string line;
    if (!read_first_line(dir + "/cpu.max", line)) return 0;
    char quota[64] = {0};
    unsigned long long period = 0;
    if (std::sscanf(line.c_str(), "%63s %llu", quota, &period) != 2) return 0;
    if (std::strcmp(quota, "max") == 0 || period == 0) return 0;
    unsigned long long q = std::strtoull(quota, nullptr, 10);
    return q ? std::max<unsigned long long>(q / period, 1) : 0;
}

std::size_t quota_v1(const std::string& dir) {
    std::string q, p;
    if (!read_first_line(dir + "/cpu.cfs_quota_us", q) || !read_first_line(dir + "/cpu.cfs_period_us", p)) return 0;
    long long quota = std::atoll(q.c_str());
    long long period = std::atoll(p.c_str());
    if (quota <= 0 || period <= 0) return 0;
    return std::max<long long>(quota / period, 1);
}

// The smallest quota on the way from the process's cgroup up to the root.
std::size_t cgroup_cpu_limit() {
    std::ifstream f("/proc/self/cgroup");
    std::string line;
    std::size_t best = 0;
    auto take = [&](std::size_t q) {
        if (q && (best == 0 || q < best)) best = q;
    };
    while (f && std::getline(f, line)) {
        // hierarchy-id:controllers:path
        auto a = line.find(':');
        auto b = line.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        std::string controllers = line.substr(a + 1, b - a - 1);
        std::string path = line.substr(b + 1);
        bool v2 = line.compare(0, a, "0") == 0 && controllers.empty();
        bool v1cpu = false;
        for (std::size_t s = 0; s <= controllers.size();) {
            auto e = controllers.find(',', s);
            if (e == std::string::npos) e = controllers.size();
            if (controllers.compare(s, e - s, "cpu") == 0) v1cpu = true;
            s = e + 1;
        }
        if (!v2 && !v1cpu) continue;
        std::vector<std::string> roots = v2 ? std::vector<std::string>{"/sys/fs/cgroup"}
                                            : std::vector<std::string>{"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"};
        for (const auto& root : roots) {
            std::string p = path;
            for (;;) {
                take(v2 ? quota_v2(root + p) : quota_v1(root + p));
                if (p.empty() || p == "/") break;
                auto slash = p.find_last_of('/');
                p = slash == 0 || slash == std::string::npos ? std::string() : p.substr(0, slash);
            }
        }
    }
    return best;
}

// The CPUs available to the process: its affinity mask, reduced by a cgroup
// CPU quota; 1 when neither can be read.
std::size_t available_cpus() {
    std::size_t n = 0;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) n = static_cast<std::size_t>(CPU_COUNT(&set));
    if (n == 0) {
        unsigned hc = std::thread::hardware_concurrency();
        n = hc;
    }
    std::size_t quota = cgroup_cpu_limit();
    if (quota && (n == 0 || quota < n)) n = quota;
    return n ? n : 1;
}

std::size_t decide_thread_count() {
    std::size_t n = 0;
    if (parse_count(std::getenv("RAYON_NUM_THREADS"), n)) return n > 0 ? n : available_cpus();
    if (parse_count(std::getenv("RAYON_RS_NUM_CPUS"), n) && n > 0) return n;
    return available_cpus();
}

// --- the pool -----------------------------------------------------------------

// One parallel loop. Shared between the caller and the workers that joined it,
// so it lives until the last of them lets go.
//
// The rows are cut into one contiguous share per thread. Each thread that
// joins takes the next share and claims its rows one at a time, in order;
// when they run out it helps with the other shares the same way. So each
// thread works on neighbouring rows (which read neighbouring source data)
// while the load still balances row by row.
struct Job {
    struct alignas(64) Share {
        std::size_t end = 0;
        std::atomic<std::size_t> next{0};
    };

    std::size_t rows;
    detail::RowCall call;
    void* ctx;
    std::size_t share_count;
    std::unique_ptr<Share[]> shares;
    std::atomic<std::size_t> joined{0};
    std::atomic<std::size_t> done{0};
    std::atomic<bool> failed{false};
    std::mutex m;
    std::condition_variable cv;
    std::exception_ptr error;
    bool finished = false;

    Job(std::size_t r, detail::RowCall c, void* x, std::size_t threads)
        : rows(r), call(c), ctx(x), share_count(std::max<std::size_t>(1, std::min(threads, r))),
          shares(new Share[share_count]) {
        for (std::size_t i = 0; i < share_count; ++i) {
            const std::size_t begin = rows / share_count * i + std::min(i, rows % share_count);
            shares[i].end = begin + rows / share_count + (i < rows % share_count ? 1 : 0);
            shares[i].next.store(begin, std::memory_order_relaxed);
        }
    }

    // Claims and runs rows until none is left unclaimed.
    void work() {
        std::size_t completed = 0;
        const std::size_t first = joined.fetch_add(1, std::memory_order_relaxed) % share_count;
        for (std::size_t i = 0; i < share_count; ++i) {
            Share& share = shares[(first + i) % share_count];
            for (;;) {
                std::size_t r = share.next.fetch_add(1, std::memory_order_relaxed);
                if (r >= share.end) break;
                if (!failed.load(std::memory_order_relaxed)) {
                    try {
                        call(ctx, r);
                    } catch (...) {
                        std::lock_guard<std::mutex> lock(m);
                        if (!error) error = std::current_exception();
                        failed.store(true, std::memory_order_relaxed);
                    }
                }
                ++completed;
            }
        }
        if (completed && done.fetch_add(completed, std::memory_order_acq_rel) + completed == rows) {
            std::lock_guard<std::mutex> lock(m);
            finished = true;
            cv.notify_all();
        }
    }

    bool exhausted() const {
        for (std::size_t i = 0; i < share_count; ++i)
            if (shares[i].next.load(std::memory_order_relaxed) < shares[i].end) return false;
        return true;
    }
};

thread_local bool t_is_worker = false;

class Pool {
public:
    explicit Pool(std::size_t workers) {
        // Workers take no signals: they belong to the interpreter's threads.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        for (std::size_t i = 0; i < workers; ++i) {
            try {
                std::thread([this] { loop(); }).detach();
                started_.fetch_add(1, std::memory_order_relaxed);
            } catch (...) {
                // Fewer threads than asked for (no thread or no memory for
                // one); the caller still works. Nothing may escape: the
                // threads already started use this pool.
                break;
            }
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }

    std::size_t started() const { return started_.load(std::memory_order_relaxed); }

    void run(std::size_t rows, detail::RowCall call, void* ctx) {
        auto job = std::make_shared<Job>(rows, call, ctx, started() + 1);
        {
            std::lock_guard<std::mutex> lock(m_);
            queue_.push_back(job);
        }
        if (rows - 1 >= started()) cv_.notify_all();
        else for (std::size_t i = 0; i + 1 < rows; ++i) cv_.notify_one();

        job->work();
        {
            std::unique_lock<std::mutex> lock(job->m);
            job->cv.wait(lock, [&] { return job->finished; });
        }
        remove(job);
        if (job->error) std::rethrow_exception(job->error);
    }

private:
    void remove(const std::shared_ptr<Job>& job) {
        std::lock_guard<std::mutex> lock(m_);
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if (*it == job) {
                queue_.erase(it);
                break;
            }
        }
    }

    void loop() {
        t_is_worker = true;
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock<std::mutex> lock(m_);
                cv_.wait(lock, [&] {
                    while (!queue_.empty() && queue_.front()->exhausted()) queue_.pop_front();
                    return !queue_.empty();
                });
                job = queue_.front();
            }
            job->work();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Job>> queue_;
    std::atomic<std::size_t> started_{0};
};

std::mutex g_create;
std::atomic<Pool*> g_pool{nullptr};
std::size_t g_threads = 0;  // written once under g_create

void atfork_prepare() { g_create.lock(); }
void atfork_parent() { g_create.unlock(); }
void atfork_child() {
    // The parent's workers do not exist here. Their pool (and whatever locks
    // they held) is abandoned, not destroyed; the next call builds a new one.
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_create.unlock();
}

std::size_t thread_count_locked() {
    if (g_threads == 0) {
        g_threads = decide_thread_count();
        pthread_atfork(atfork_prepare, atfork_parent, atfork_child);
    }
    return g_threads;
}

Pool& pool() {
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (p) return *p;
    std::lock_guard<std::mutex> lock(g_create);
    p = g_pool.load(std::memory_order_relaxed);
    if (!p) {
        // The calling thread is one of the working threads.
        std::size_t threads = thread_count_locked();
        std::size_t workers = threads - 1;
        // Far more threads than any machine has only costs memory; a bound
        // keeps a mistyped variable from exhausting the process.
        if (workers > 1024) workers = 1024;
        p = new Pool(workers);
        g_pool.store(p, std::memory_order_release);
    }
    return *p;
}

}  // namespace

std::size_t pool_thread_count() {
    std::lock_guard<std::mutex> lock(g_create);
    return thread_count_locked();
}

namespace detail {

void parallel_rows_impl(std::size_t rows, RowCall call, void* ctx) {
    if (rows == 0) return;
    if (rows == 1 || t_is_worker) {
        for (std::size_t r = 0; r < rows; ++r) call(ctx, r);
        return;
    }
    Pool& p = pool();
    if (p.started() == 0) {
        for (std::size_t r = 0; r < rows; ++r) call(ctx, r);
        return;
    }
    p.run(rows, call, ctx);
}

}  // namespace detail
}  // namespace trevalin

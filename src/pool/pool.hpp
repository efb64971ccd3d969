#pragma once
// The process-wide worker pool and the row-parallel loop built on it.
//
// One set of worker threads serves every call of the module. A call cuts its
// output into rows; idle workers and the calling thread claim rows one at a
// time until none is left, so uneven rows balance themselves. The call
// returns when every row is done. The first exception thrown by a row is
// rethrown on the calling thread (rows not yet started are then skipped) and
// the pool stays usable. After fork() the child builds a fresh pool on its
// next use.

#include <cstddef>
#include <type_traits>
#include <utility>

namespace trevalin {

// Number of threads that work on one call, the calling thread included.
// Decided once per process: RAYON_NUM_THREADS (a positive integer; 0 means
// the CPU count), else RAYON_RS_NUM_CPUS (a positive integer), else the CPUs
// available to the process (affinity mask, reduced by a cgroup CPU quota), or 1.
std::size_t pool_thread_count();

namespace detail {
using RowCall = void (*)(void* ctx, std::size_t row);
void parallel_rows_impl(std::size_t rows, RowCall call, void* ctx);
}  // namespace detail

// Calls f(row) for every row in [0, rows), spread over the pool.
template <class F>
void parallel_rows(std::size_t rows, F&& f) {
    using Fn = std::remove_reference_t<F>;
    detail::parallel_rows_impl(
        rows, [](void* ctx, std::size_t row) { (*static_cast<Fn*>(ctx))(row); },
        const_cast<void*>(static_cast<const void*>(&f)));
}

// Row-parallel loop over an output image: f(y, out + y * row_len) for each of
// the first `rows` rows. Every row item writes only its own slice.
template <class T, class F>
void for_each_row(T* out, std::size_t row_len, std::size_t rows, F&& f) {
    parallel_rows(rows, [&](std::size_t y) { f(y, out + y * row_len); });
}

}  // namespace trevalin

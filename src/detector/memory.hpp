#pragma once
// Memory for the detector's image-sized buffers.

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "sample/buffer.hpp"
#include "sample/numeric.hpp"

namespace trevalin {

// Asks the kernel to back the 2 MiB-aligned interior of a large, freshly
// allocated buffer with huge pages. An image-sized buffer otherwise costs one
// page fault per 4 KiB at first touch, a sizeable share of a detection call,
// and its scattered reads in the seed loop miss the TLB less. Only advice: a
// refusal changes nothing.
inline void prefer_huge_pages(void* data, std::size_t bytes) {
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    if (bytes < 2 * kHuge) return;
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

template <class T>
void prefer_huge_pages(Buffer<T>& buffer) {
    prefer_huge_pages(buffer.data(), buffer.size() * sizeof(T));
}

// Blocks of at least kKeptBlockBytes that a call is done with are kept for a
// moment, so that the next call on an image of the same size gets them back
// already mapped. malloc gives such blocks straight back to the kernel, and a
// fresh one costs its page faults and the kernel's zeroing of every page: a
// tenth of a call on a large image. (Smaller blocks stay in malloc's own heap.)
// Kept blocks are given back to the system when a call asks for a block of
// another size, or once no block has been kept for kKeptBlockIdleMs (by a
// thread that sleeps until then).
inline constexpr std::size_t kKeptBlockBytes = std::size_t{32} << 20;
inline constexpr long kKeptBlockIdleMs = 1000;

// A kept block of exactly `bytes` (which it stops keeping), or nullptr.
void* take_kept_block(std::size_t bytes) noexcept;
// Keeps the malloc'd block, or frees it when it is small or cannot be kept.
void keep_block(void* data, std::size_t bytes) noexcept;
// Bytes of the blocks kept now.
std::size_t kept_block_bytes() noexcept;

// n uninitialized elements for an image-sized buffer: a kept block when one
// fits, else fresh memory advised to use huge pages.
template <class T>
Buffer<T> image_buffer(std::size_t n) {
    const std::size_t bytes = mul_size(n, sizeof(T));
    if (void* kept = take_kept_block(bytes)) return Buffer<T>::adopt(static_cast<T*>(kept), n);
    Buffer<T> b = Buffer<T>::uninitialized(n);
    prefer_huge_pages(b);
    return b;
}

// Ends the buffer; its memory may serve a later image_buffer.
template <class T>
void recycle(Buffer<T>& buffer) noexcept {
    const std::size_t bytes = buffer.size() * sizeof(T);
    keep_block(buffer.release(), bytes);
}

}  // namespace trevalin

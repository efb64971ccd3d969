#pragma once
// Memory advice for image-sized buffers: huge pages where the kernel offers them.

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

#include "sample/buffer.hpp"

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

}  // namespace trevalin

#pragma once
// Owning array of trivially copyable elements, allocated with malloc/calloc so
// that an output buffer can be handed over (release) to a NumPy array, which
// frees it with std::free when the array dies.

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "sample/numeric.hpp"

namespace trevalin {

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() = default;

    // n elements, all bits zero (0 / 0.0 for every element type used here).
    static Buffer zeroed(std::size_t n) {
        const std::size_t bytes = mul_size(n, sizeof(T));  // throws on overflow
        Buffer b;
        if (n != 0) {
            b.ptr_ = static_cast<T*>(std::calloc(n, sizeof(T)));
            if (!b.ptr_) throw AllocationFailed(bytes);
        }
        b.size_ = n;
        return b;
    }

    // n elements whose contents are left undefined.
    static Buffer uninitialized(std::size_t n) {
        std::size_t bytes = mul_size(n, sizeof(T));
        Buffer b;
        if (n != 0) {
            b.ptr_ = static_cast<T*>(std::malloc(bytes));
            if (!b.ptr_) throw AllocationFailed(bytes);
        }
        b.size_ = n;
        return b;
    }

    Buffer(Buffer&& o) noexcept : ptr_(std::exchange(o.ptr_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    Buffer& operator=(Buffer&& o) noexcept {
        if (this != &o) {
            std::free(ptr_);
            ptr_ = std::exchange(o.ptr_, nullptr);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(ptr_); }

    T* data() noexcept { return ptr_; }
    const T* data() const noexcept { return ptr_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return ptr_[i]; }
    const T& operator[](std::size_t i) const noexcept { return ptr_[i]; }
    T* begin() noexcept { return ptr_; }
    T* end() noexcept { return ptr_ + size_; }
    const T* begin() const noexcept { return ptr_; }
    const T* end() const noexcept { return ptr_ + size_; }

    // Gives up ownership; the caller frees the memory with std::free.
    T* release() noexcept {
        size_ = 0;
        return std::exchange(ptr_, nullptr);
    }

private:
    T* ptr_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace trevalin

// PodVector: a growable array of trivially copyable elements whose large
// buffers are cheap to grow and to fault in.
//
// Buffers below kMappedBytes come from the heap (malloc/realloc). From
// kMappedBytes on, a buffer is its own anonymous mapping, rounded up to a
// multiple of kMappedBytes. A mapped
// buffer grows by remapping its pages (mremap), so growing neither copies
// the elements nor touches fresh pages for them, nor holds the old and the
// new buffer at once. Pages of the room beyond size() take no memory until
// written.
//
// Failure to get memory throws std::bad_alloc, as std::vector does.
//
// Unlike std::vector, resize() and reserve() may leave capacity() above
// what was asked (a mapping's whole rounded size is usable), and iterators
// are plain pointers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace ruvo {

namespace pod_memory {

// Buffers of at least this many bytes are mapped, in multiples of it.
inline constexpr size_t kMappedBytes = size_t{2} << 20;

// A block of at least `bytes` bytes (> 0); `granted` receives its usable
// size, which is also what identifies it to reallocate() and release().
// Throws std::bad_alloc.
void* allocate(size_t bytes, size_t& granted);
// Resizes block `p` of `granted` usable bytes to at least `bytes` (> 0)
// and updates `granted`; the first `keep` bytes (<= both sizes) keep their
// contents. On failure throws std::bad_alloc and leaves the block as it was.
void* reallocate(void* p, size_t& granted, size_t keep, size_t bytes);
// Frees a block from allocate()/reallocate(); no effect for null.
void release(void* p, size_t granted) noexcept;

}  // namespace pod_memory

template <class T>
class PodVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  PodVector() = default;
  explicit PodVector(size_t n, const T& value = T()) { assign(n, value); }
  PodVector(std::initializer_list<T> values) { append(values.begin(), values.size()); }
  PodVector(const PodVector& o) { append(o.data_, o.size_); }
  PodVector(PodVector&& o) noexcept { swap(o); }
  PodVector& operator=(const PodVector& o) {
    if (this != &o) {
      size_ = 0;
      append(o.data_, o.size_);
    }
    return *this;
  }
  PodVector& operator=(PodVector&& o) noexcept {
    PodVector(std::move(o)).swap(*this);
    return *this;
  }
  ~PodVector() { pod_memory::release(data_, bytes_); }

  void swap(PodVector& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(bytes_, o.bytes_);
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t capacity() const { return bytes_ / sizeof(T); }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T& front() { return data_[0]; }
  const T& front() const { return data_[0]; }
  T& back() { return data_[size_ - 1]; }
  const T& back() const { return data_[size_ - 1]; }
  operator std::span<const T>() const { return {data_, size_}; }

  void push_back(const T& value) {
    if (size_ == capacity()) {
      const T copy = value;  // `value` may live in the buffer
      grow(size_ + 1);
      data_[size_++] = copy;
    } else {
      data_[size_++] = value;
    }
  }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    push_back(T{std::forward<Args>(args)...});
    return back();
  }
  void pop_back() { --size_; }
  // Appends `n` elements from `first`. REQUIRES: they are not in this
  // buffer.
  void append(const T* first, size_t n) {
    if (n == 0) return;
    if (n > capacity() - size_) grow(size_ + n);
    std::memcpy(static_cast<void*>(data_ + size_), first, n * sizeof(T));
    size_ += n;
  }
  void append(std::span<const T> values) { append(values.data(), values.size()); }
  // Removes [first, last), moving the rest down.
  void erase(const T* first, const T* last) {
    const size_t from = static_cast<size_t>(first - data_), n = static_cast<size_t>(last - first);
    if (n == 0) return;
    std::memmove(static_cast<void*>(data_ + from), data_ + from + n,
                 (size_ - from - n) * sizeof(T));
    size_ -= n;
  }
  void clear() { size_ = 0; }
  // New elements are value-initialized (zero for the arithmetic types).
  void resize(size_t n) { resize(n, T()); }
  void resize(size_t n, const T& value) {
    if (n > capacity()) grow(n);
    if (n > size_) std::fill(data_ + size_, data_ + n, value);
    size_ = n;
  }
  void assign(size_t n, const T& value) {
    size_ = 0;
    resize(n, value);
  }
  void reserve(size_t n) {
    if (n > capacity()) set_capacity(n);
  }
  // Returns the room beyond size() (all of it when empty).
  void shrink_to_fit() {
    if (size_ == 0) {
      pod_memory::release(data_, bytes_);
      data_ = nullptr;
      bytes_ = 0;
    } else if (size_ < capacity()) {
      set_capacity(size_);
    }
  }

 private:
  // At least `n` elements of room, growing geometrically.
  void grow(size_t n) { set_capacity(std::max(n, 2 * capacity())); }
  void set_capacity(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = n * sizeof(T);
    if (data_ == nullptr) {
      data_ = static_cast<T*>(pod_memory::allocate(bytes, bytes_));
    } else {
      data_ = static_cast<T*>(pod_memory::reallocate(data_, bytes_, size_ * sizeof(T), bytes));
    }
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t bytes_ = 0;  // usable bytes of data_'s block
};

}  // namespace ruvo

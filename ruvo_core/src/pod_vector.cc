#include "ruvo_core/src/pod_vector.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace ruvo::pod_memory {

namespace {

size_t mapped_size(size_t bytes) {
  if (bytes > SIZE_MAX - kMappedBytes) throw std::bad_alloc();
  return (bytes + kMappedBytes - 1) & ~(kMappedBytes - 1);
}

bool is_mapped(size_t granted) { return granted >= kMappedBytes; }

// A fresh mapping of `len` bytes. Not advised for transparent huge pages:
// where that was measured (virtual machines whose host backs guest memory
// lazily), a fresh huge page took several times longer to fault in than its
// 512 small pages, and large evaluations ran 14-27% slower with the advice.
void* map(size_t len) {
  void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

}  // namespace

void* allocate(size_t bytes, size_t& granted) {
  if (bytes >= kMappedBytes) {
    const size_t len = mapped_size(bytes);
    void* p = map(len);
    granted = len;
    return p;
  }
  void* p = std::malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  granted = bytes;
  return p;
}

void* reallocate(void* p, size_t& granted, size_t keep, size_t bytes) {
  if (!is_mapped(granted) && bytes < kMappedBytes) {
    void* q = std::realloc(p, bytes);
    if (q == nullptr) throw std::bad_alloc();
    granted = bytes;
    return q;
  }
  if (!is_mapped(granted) || bytes < kMappedBytes) {
    // Between the heap and a mapping: copied.
    size_t to = 0;
    void* q = allocate(bytes, to);
    std::memcpy(q, p, keep);
    release(p, granted);
    granted = to;
    return q;
  }
  const size_t len = mapped_size(bytes);
  if (len == granted) return p;
  // Shrinking, or growing into free address space after the mapping,
  // keeps the mapping where it is.
  void* q = mremap(p, granted, len, 0);
  if (q == MAP_FAILED) {
    // Moved into a place of the new size: the pages go along, none are
    // copied.
    void* dest = map(len);
    q = mremap(p, granted, len, MREMAP_MAYMOVE | MREMAP_FIXED, dest);
    if (q == MAP_FAILED) {
      std::memcpy(dest, p, keep);
      munmap(p, granted);
      q = dest;
    }
  }
  granted = len;
  return q;
}

void release(void* p, size_t granted) noexcept {
  if (p == nullptr) return;
  if (is_mapped(granted)) {
    munmap(p, granted);
  } else {
    std::free(p);
  }
}

}  // namespace ruvo::pod_memory

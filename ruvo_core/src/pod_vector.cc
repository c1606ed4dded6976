#include "ruvo_core/src/pod_vector.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace ruvo::pod_memory {

namespace {

size_t mapped_size(size_t bytes) {
  if (bytes > SIZE_MAX - kHugePageBytes) throw std::bad_alloc();
  return (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
}

bool is_mapped(size_t granted) { return granted >= kMappedBytes; }

// A fresh mapping of `len` bytes (a multiple of kHugePageBytes) starting on
// a huge page boundary, so that every 2 MiB of it can be one huge page.
void* map_aligned(size_t len) {
  const size_t over = len + kHugePageBytes;
  void* p = mmap(nullptr, over, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  char* base = static_cast<char*>(p);
  const uintptr_t addr = reinterpret_cast<uintptr_t>(base);
  char* start = base + ((kHugePageBytes - addr % kHugePageBytes) % kHugePageBytes);
  if (start != base) munmap(base, static_cast<size_t>(start - base));
  char* end = start + len;
  if (end != base + over) munmap(end, static_cast<size_t>(base + over - end));
  return start;
}

// Whether mappings are advised for transparent huge pages. Off: where this
// was measured (virtual machines whose host backs guest memory lazily), a
// fresh huge page took several times longer to fault in than its 512 small
// pages, and large evaluations ran 14-27% slower with the advice than
// without; remapping on growth gains either way. Switching it changes speed
// and resident memory only, never contents.
constexpr bool kAdviseHugePages = false;

// Only a hint: without huge pages (turned off system-wide, or the advice
// refused) the mapping works the same.
void advise(void* p, size_t len) {
  if (kAdviseHugePages) (void)madvise(p, len, MADV_HUGEPAGE);
}

void* map(size_t len) {
  void* p = map_aligned(len);
  advise(p, len);
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
    // Moved into an aligned place of the new size: the pages go along
    // (whole huge pages stay whole), none are copied.
    void* dest = map_aligned(len);
    q = mremap(p, granted, len, MREMAP_MAYMOVE | MREMAP_FIXED, dest);
    if (q == MAP_FAILED) {
      std::memcpy(dest, p, keep);
      munmap(p, granted);
      q = dest;
    }
  }
  advise(q, len);
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

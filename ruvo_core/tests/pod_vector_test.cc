// PodVector against std::vector: the same contents after every step of
// scripts that cross between heap and mapped buffers both ways.
#include "ruvo_core/src/pod_vector.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ruvo {
namespace {

using pod_memory::kMappedBytes;

struct Pair {  // 16 bytes, as the engine's log entries
  uint64_t a;
  uint32_t b;
  bool operator==(const Pair&) const = default;
};

constexpr size_t kBoundary = kMappedBytes / sizeof(uint64_t);  // first mapped size

// Checks contents and the capacity contract: room for size(), and a
// mapped buffer is a whole number of mapping units, page-aligned.
template <class T>
void expect_same(const PodVector<T>& got, const std::vector<T>& want, const std::string& where) {
  SCOPED_TRACE(where);
  ASSERT_EQ(got.size(), want.size());
  ASSERT_EQ(got.empty(), want.empty());
  ASSERT_GE(got.capacity(), got.size());
  ASSERT_EQ(got.end() - got.begin(), static_cast<ptrdiff_t>(got.size()));
  for (size_t i = 0; i < want.size(); ++i)
    if (!(got[i] == want[i])) FAIL() << "element " << i;
  const size_t bytes = got.capacity() * sizeof(T);
  if (bytes >= kMappedBytes) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(got.data()) % 4096, 0u);
    EXPECT_GE(bytes + sizeof(T), (bytes + kMappedBytes - 1) / kMappedBytes * kMappedBytes);
  }
}

// A step: 'p' push_back n times, 'a' append n, 'r' resize to n (fill
// value), 'R' reserve n, 'e' erase the first n, 's' shrink_to_fit,
// 'c' clear, 'w' rewrite every element.
struct Step {
  char op;
  size_t n;
};

struct Script {
  const char* name;
  std::vector<Step> steps;
};

const Script kScripts[] = {
    {"empty", {{'s', 0}, {'c', 0}, {'r', 0}, {'e', 0}}},
    {"small", {{'p', 5}, {'a', 3}, {'r', 20}, {'e', 4}, {'s', 0}, {'w', 0}}},
    {"push across the boundary", {{'p', kBoundary + 3}, {'w', 0}, {'p', kBoundary}}},
    {"exactly at the boundary", {{'r', kBoundary - 1}, {'p', 1}, {'p', 1}, {'r', kBoundary}}},
    {"grow mapped, shrink to heap",
     {{'a', 3 * kBoundary + 7}, {'e', 3 * kBoundary}, {'s', 0}, {'p', 100}, {'w', 0}}},
    {"shrink within mappings", {{'r', 5 * kBoundary}, {'r', kBoundary + 1}, {'s', 0}, {'w', 0}}},
    {"reserve then fill", {{'R', 2 * kBoundary}, {'p', 2 * kBoundary + 1}, {'c', 0}, {'s', 0}}},
    {"heap to mapping by append", {{'p', 10}, {'a', kBoundary}, {'e', 10}, {'a', 10}}},
};

void run(const Script& script) {
  PodVector<uint64_t> got;
  std::vector<uint64_t> want;
  uint64_t next = 1;
  for (size_t i = 0; i < script.steps.size(); ++i) {
    const Step& s = script.steps[i];
    switch (s.op) {
      case 'p':
        for (size_t k = 0; k < s.n; ++k, ++next) {
          got.push_back(next * 0x9e3779b97f4a7c15ULL);
          want.push_back(next * 0x9e3779b97f4a7c15ULL);
        }
        break;
      case 'a': {
        std::vector<uint64_t> more(s.n);
        for (uint64_t& v : more) v = ++next;
        got.append(more);
        want.insert(want.end(), more.begin(), more.end());
        break;
      }
      case 'r':
        got.resize(s.n, next);
        want.resize(s.n, next);
        ++next;
        break;
      case 'R': {
        got.reserve(s.n);
        EXPECT_GE(got.capacity(), s.n);
        break;
      }
      case 'e':
        got.erase(got.begin(), got.begin() + s.n);
        want.erase(want.begin(), want.begin() + static_cast<ptrdiff_t>(s.n));
        break;
      case 's':
        got.shrink_to_fit();
        if (got.empty()) {
          EXPECT_EQ(got.capacity(), 0u);
        }
        break;
      case 'c':
        got.clear();
        want.clear();
        break;
      case 'w':
        for (size_t k = 0; k < want.size(); ++k) got[k] = want[k] = k ^ next;
        break;
    }
    expect_same(got, want, std::string(script.name) + " step " + std::to_string(i));
  }
}

TEST(PodVector, ScriptsMatchStdVector) {
  for (const Script& s : kScripts) run(s);
}

TEST(PodVector, PushBackOfOwnElement) {
  // The value pushed lives in the buffer that the push reallocates.
  for (size_t n : {size_t{1}, size_t{7}, kBoundary}) {
    PodVector<uint64_t> v(n, 42);
    v.push_back(v.back());
    ASSERT_EQ(v.size(), n + 1);
    EXPECT_EQ(v.back(), 42u);
  }
}

TEST(PodVector, FailedGrowthThrowsAndKeepsContents) {
  for (size_t n : {size_t{0}, size_t{5}, kBoundary + 5}) {
    for (size_t ask : {size_t{1} << 60, SIZE_MAX}) {  // no mapping; overflowing bytes
      SCOPED_TRACE(n);
      PodVector<uint64_t> v(n, 7);
      const std::vector<uint64_t> want(n, 7);
      EXPECT_THROW(v.reserve(ask), std::bad_alloc);
      expect_same(v, want, "after the failure");
      v.push_back(8);  // still usable
      EXPECT_EQ(v.back(), 8u);
    }
  }
}

TEST(PodVector, MovesCopiesAndSwaps) {
  for (size_t n : {size_t{0}, size_t{3}, kBoundary / 2 + 1}) {  // 16-byte elements
    SCOPED_TRACE(n);
    std::vector<Pair> want;
    PodVector<Pair> a;
    for (size_t i = 0; i < n; ++i) {
      want.push_back({i * 3, static_cast<uint32_t>(i)});
      a.emplace_back(i * 3, static_cast<uint32_t>(i));
    }
    const Pair* buffer = a.data();
    PodVector<Pair> b(std::move(a));
    EXPECT_EQ(b.data(), buffer);  // taken over, not copied
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(a.capacity(), 0u);
    expect_same(b, want, "moved");
    PodVector<Pair> c(b);
    expect_same(c, want, "copied");
    expect_same(b, want, "copied from");
    PodVector<Pair> d{{1, 1}};
    d = std::move(c);
    expect_same(d, want, "move-assigned");
    c = d;
    expect_same(c, want, "copy-assigned");
    c.swap(a);
    expect_same(a, want, "swapped");
    EXPECT_TRUE(c.empty());
  }
}

}  // namespace
}  // namespace ruvo

// The key order of a large deferred batch, as a commit asks for it: a few
// hundred rows put, then half a million derived states appended at the end
// of a call (24-byte keys: a predicate id and two arguments below 1000, in
// the order a chain closure derives them), then sorted() once. Prints the
// median times of the appends and of the sort over REPS runs (default 15).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/pending_rows.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string state_key(uint64_t pred, uint64_t x, uint64_t y) {
  std::string k;
  ruvo::bincode::put_u64_be(k, pred);
  ruvo::bincode::put_u64_be(k, x);
  ruvo::bincode::put_u64_be(k, y);
  return k;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 15;
  constexpr uint64_t kNodes = 1000;
  const std::string value(16, 'v');
  std::vector<double> appends, sorts;
  uint64_t check = 0;
  for (int rep = 0; rep < reps; ++rep) {
    ruvo::kv::PendingRows rows;
    for (uint64_t x = 0; x + 1 < 300; ++x) rows.put(state_key(3, x, x + 1), value);  // the facts
    auto start = Clock::now();
    for (uint64_t k = 1; k < kNodes; ++k)
      for (uint64_t x = 0; x + k < kNodes; ++x) rows.append(state_key(7, x, x + k), value);
    appends.push_back(ms_since(start));
    start = Clock::now();
    const std::vector<uint32_t>& order = rows.sorted();
    sorts.push_back(ms_since(start));
    for (size_t i = 0; i < order.size(); i += 4097) check = check * 31 + order[i];
    check += order.size();
  }
  std::printf("pending_rows_bench: %d runs, append median %.2f ms, sorted() median %.2f ms (min %.2f), check %llx\n",
              reps, median(appends), median(sorts), *std::min_element(sorts.begin(), sorts.end()),
              static_cast<unsigned long long>(check));
  return 0;
}

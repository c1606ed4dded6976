#include "ruvo_core/src/parallel.h"

#include <algorithm>
#include <future>
#include <system_error>
#include <thread>
#include <vector>

namespace ruvo {

size_t worker_count(size_t most) {
  return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, std::max<size_t>(most, 1));
}

void run_parts(size_t parts, const std::function<void(size_t part)>& part) {
  std::vector<std::future<void>> helpers;
  size_t started = parts;
  for (size_t p = 1; p < parts; ++p) {
    try {
      helpers.push_back(std::async(std::launch::async, part, p));
    } catch (const std::system_error&) {  // no thread to be had: this one does the rest
      started = p;
      break;
    }
  }
  if (parts != 0) part(0);
  for (size_t p = started; p < parts; ++p) part(p);
  for (auto& h : helpers) h.get();
}

}  // namespace ruvo

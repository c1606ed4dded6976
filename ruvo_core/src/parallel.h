// Work shared out among a few threads for the length of one call: the
// calling thread and helpers started for it, which are gone when the call
// returns.
#pragma once

#include <cstddef>
#include <functional>

namespace ruvo {

// How many threads to share work out among, given that more than `most`
// gain nothing: the processors there are, at most `most`, at least one.
size_t worker_count(size_t most);

// Calls part(0), ..., part(parts - 1), each once, from up to `parts`
// threads at once: this one and a helper for each other part. Where no
// helper thread can be had, this thread calls the rest itself. Returns
// once every call has returned; an exception from a part reaches the
// caller then (parts this thread had not begun are not called).
void run_parts(size_t parts, const std::function<void(size_t part)>& part);

}  // namespace ruvo

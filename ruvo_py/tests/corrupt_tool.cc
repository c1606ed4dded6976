// Damages a closed event-log database on purpose, for the tests of how broken
// stored data reaches Python callers:
//   ruvo_corrupt_tool counter <edb_dir>          event-id counter cut to 3 bytes
//   ruvo_corrupt_tool record <edb_dir> <event>   record of <event> cut to 1 byte
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/kv.h"

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const bool counter = mode == "counter" && argc == 3;
  if (!counter && !(mode == "record" && argc == 4)) {
    std::fputs("usage: ruvo_corrupt_tool counter <edb_dir> | record <edb_dir> <event_id>\n", stderr);
    return 2;
  }
  auto db = ruvo::kv::Db::open(argv[2]);
  auto t = db ? db->open_tree(counter ? "edb_meta" : "edb_events") : std::unexpected(db.error());
  ruvo::kv::Result<void> done =
      !t ? std::unexpected(t.error())
      : counter ? t->insert("next_event_id", std::string("\0\0\x01", 3))
                : t->insert(ruvo::bincode::u64_be(std::strtoull(argv[3], nullptr, 10)),
                            std::string(1, '\0'));
  if (done) done = db->flush();
  if (!done) std::fprintf(stderr, "ruvo_corrupt_tool: %s\n", done.error().status.c_str());
  return done ? 0 : 1;
}

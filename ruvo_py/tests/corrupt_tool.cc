// Damages an event-log database on purpose, for the Python tests of how
// broken stored data reaches callers.
//
//   ruvo_corrupt_tool counter <edb_dir>          event-id counter cut to 3 bytes
//   ruvo_corrupt_tool record <edb_dir> <event>   record of <event> cut to 1 byte
//
// REQUIRES: no other process has the database open.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/kv.h"

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  std::string tree, key, value;
  if (mode == "counter" && argc == 3) {
    tree = "edb_meta", key = "next_event_id", value = std::string("\0\0\x01", 3);
  } else if (mode == "record" && argc == 4) {
    tree = "edb_events", key = ruvo::bincode::u64_be(std::strtoull(argv[3], nullptr, 10)),
    value = std::string(1, '\0');
  } else {
    std::fputs("usage: ruvo_corrupt_tool counter <edb_dir> | record <edb_dir> <event_id>\n",
               stderr);
    return 2;
  }
  auto db = ruvo::kv::Db::open(argv[2]);
  auto t = db ? db->open_tree(tree) : std::unexpected(db.error());
  ruvo::kv::Result<void> done = t ? t->insert(key, value) : std::unexpected(t.error());
  if (done) done = db->flush();
  if (!done) {
    std::fprintf(stderr, "ruvo_corrupt_tool: %s\n", done.error().status.c_str());
    return 1;
  }
  return 0;
}

// Damages an event-log database on purpose, for the Python tests of how
// broken stored data reaches callers.
//
//   ruvo_corrupt_tool counter <edb_dir>          event-id counter cut to 3 bytes
//   ruvo_corrupt_tool record <edb_dir> <event>   record of <event> cut to 1 byte
//
// REQUIRES: no other process has the database open.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ruvo_core/src/kv.h"

namespace {

int usage() {
  std::fputs("usage: ruvo_corrupt_tool counter <edb_dir> | record <edb_dir> <event_id>\n", stderr);
  return 2;
}

int report(const ruvo::kv::Error& e) {
  std::fprintf(stderr, "ruvo_corrupt_tool: %s\n", e.status.c_str());
  return 1;
}

std::string big_endian(uint64_t v) {
  std::string out(8, '\0');
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<char>(v & 0xff);
    v >>= 8;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string mode = argv[1];
  std::string tree_name, key, value;
  if (mode == "counter" && argc == 3) {
    tree_name = "edb_meta";
    key = "next_event_id";
    value = std::string("\x00\x00\x01", 3);
  } else if (mode == "record" && argc == 4) {
    tree_name = "edb_events";
    key = big_endian(std::strtoull(argv[3], nullptr, 10));
    value = std::string("\x00", 1);
  } else {
    return usage();
  }
  auto db = ruvo::kv::Db::open(argv[2]);
  if (!db) return report(db.error());
  auto tree = db->open_tree(tree_name);
  if (!tree) return report(tree.error());
  if (auto put = tree->insert(key, value); !put) return report(put.error());
  if (auto flushed = db->flush(); !flushed) return report(flushed.error());
  return 0;
}

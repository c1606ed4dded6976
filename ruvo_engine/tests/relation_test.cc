// Relation: the memory it accounts for, and what forgetting old changes
// keeps.
#include "ruvo_engine/src/relation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace ruvo::test {
namespace {

// Writes rows (i % 7, i) for i in [from, to), numbering the changes on
// from `seq`.
void write_rows(Relation& rel, uint64_t from, uint64_t to, uint64_t& seq) {
  for (uint64_t i = from; i < to; ++i) {
    const uint64_t args[] = {i % 7, i};
    rel.note_write(args, AtomState{0.5, 0.0}, ++seq);
  }
}

TEST(RelationBytes, FollowRowsAndIndexesAsTheyGrow) {
  // Per row: two arguments, a state, a change number, a log entry (8 + 4).
  constexpr size_t kRow = 16 + 16 + 8 + 12;
  for (const uint64_t mask : {0, 1, 3}) {  // one group, seven, one per row
    Relation rel(2);
    uint64_t seq = 0;
    write_rows(rel, 0, 1000, seq);
    const size_t rows_only = rel.bytes();
    EXPECT_GE(rows_only, 1000 * (kRow + 16));  // and two table slots or more
    rel.index(mask);
    const size_t indexed = rel.bytes();
    EXPECT_GE(indexed, rows_only + 1000 * sizeof(uint32_t)) << mask;
    write_rows(rel, 1000, 3000, seq);
    EXPECT_GE(rel.bytes(), indexed + 2000 * (kRow + sizeof(uint32_t))) << mask;
  }
}

TEST(RelationForget, LaterChangesStayAndTheRestIsFreed) {
  for (const uint64_t upto : {0, 1, 700, 1009, 1010, 5000}) {
    Relation kept(2), forgot(2);
    for (Relation* rel : {&kept, &forgot}) {
      uint64_t seq = 0;
      write_rows(*rel, 0, 1000, seq);
      write_rows(*rel, 990, 1000, seq);  // ten rows again: changes 1001..1010
    }
    const size_t before = forgot.bytes();
    forgot.forget_changes_up_to(upto);
    const size_t gone = std::min<uint64_t>(upto, 1010);
    EXPECT_GE(before - forgot.bytes(), gone * 12) << upto;
    for (uint64_t since : {upto, upto + 1, uint64_t{995}, uint64_t{1005}}) {
      if (since < upto) continue;
      std::vector<uint32_t> want, got;
      kept.changed_since(since, want);
      forgot.changed_since(since, got);
      EXPECT_EQ(got, want) << upto << " " << since;
      EXPECT_EQ(forgot.last_change() > since, kept.last_change() > since) << upto << " " << since;
    }
  }
}

}  // namespace
}  // namespace ruvo::test

// Relation: the memory it accounts for, what forgetting old changes
// keeps, the order in which rows are handed out, and which atoms it finds.
#include "ruvo_engine/src/relation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <set>
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
      // Once each, by latest change: the ten rows written twice count once.
      for (size_t k = 0; k < want.size(); ++k)
        EXPECT_LT(k == 0 ? since : kept.changed_at(want[k - 1]), kept.changed_at(want[k])) << since;
      EXPECT_EQ(forgot.last_change() > since, kept.last_change() > since) << upto << " " << since;
    }
  }
}

TEST(RelationOrder, GroupsAndSortedRowsAreInArgumentOrder) {
  // Few rows are sorted by comparison, many through their gathered
  // arguments; values with the top bit set order as unsigned.
  // Arguments that fit 32 bits side by side (up to `small`, when set) are
  // sorted packed into one word: 2 x 16 bits fit, 16 + 17 do not.
  struct Case {
    uint32_t arity;
    size_t rows;
    uint64_t small = 0;
    uint64_t last_small = 0;  // for the last position, when set
  };
  for (const Case c : {Case{1, 5}, Case{2, 63}, Case{2, 64}, Case{2, 3000}, Case{3, 500},
                       Case{2, 3000, 1000}, Case{3, 3000, 40}, Case{2, 3000, 1 << 16},
                       Case{2, 3000, 1 << 16, 1 << 17}}) {
    std::mt19937_64 rng(c.arity * 1000 + c.rows + c.small + c.last_small);
    Relation rel(c.arity);
    uint64_t seq = 0;
    std::vector<uint64_t> args(c.arity);
    while (rel.size() < c.rows) {
      for (uint64_t& a : args) a = rng() % 3 == 0 ? rng() : rng() % 40;  // repeats, high bits
      if (c.small != 0) {
        for (uint64_t& a : args) a = rng() % c.small;
        if (c.last_small != 0) args.back() = rng() % c.last_small;
      }
      rel.note_write(args, AtomState{0.5, 0.0}, ++seq);
    }
    auto less = [&](uint32_t a, uint32_t b) {
      return std::ranges::lexicographical_compare(rel.args(a), rel.args(b));
    };
    std::vector<uint32_t> rows(rel.size());
    for (uint32_t r = 0; r < rows.size(); ++r) rows[r] = r;
    std::shuffle(rows.begin(), rows.end(), rng);
    sort_rows_by_args(rows, rel.all_args(), c.arity);
    EXPECT_TRUE(std::ranges::is_sorted(rows, less)) << c.arity << " " << c.rows;
    // One group of every row (nothing bound): in order, also after rows
    // join it, few or many, one of them first of all when it can be.
    for (const size_t more : {size_t{0}, size_t{3}, c.rows}) {
      const std::vector<uint64_t> zeros(c.arity, 0);
      for (const size_t target = rel.size() + more; rel.size() < target;) {
        for (uint64_t& a : args) a = rng();
        if (rel.find(zeros) < 0) args = zeros;
        rel.note_write(args, AtomState{0.5, 0.0}, ++seq);
      }
      const std::vector<uint32_t>& group = rel.index(0).group(args.data(), rel.all_args());
      EXPECT_EQ(group.size(), rel.size());
      EXPECT_TRUE(std::ranges::is_sorted(group, less)) << c.arity << " " << c.rows << " " << more;
    }
  }
}

TEST(RelationFind, EveryRowAndNoOtherAtomAfterLoadsAddsAndGrowth) {
  // Rows loaded, then rows added one by one (the table doubles as they pass
  // 32, 64, .. rows), then some written again. The filter of absent atoms
  // is built when first asked: right after loading and kept through the
  // adds, or only at the end. Every row keeps its arguments and its latest
  // state.
  struct Case {
    uint32_t arity;
    size_t loaded, added;
    bool ask_early;
  };
  for (const Case c : {Case{1, 0, 5, true}, Case{2, 0, 200, true}, Case{2, 31, 0, true},
                       Case{2, 33, 40, true}, Case{3, 100, 300, true}, Case{3, 100, 300, false},
                       Case{2, 3000, 5000, true}, Case{2, 0, 5000, false}}) {
    std::mt19937_64 rng(c.arity * 7919 + c.loaded * 31 + c.added);
    auto draw = [&] {
      std::vector<uint64_t> a(c.arity);
      for (uint64_t& v : a) v = rng() % 2 == 0 ? rng() % 50 : rng();  // near misses too
      return a;
    };
    std::set<std::vector<uint64_t>> present;
    std::vector<std::vector<uint64_t>> rows;
    std::vector<AtomState> states;
    auto state_of = [](size_t r, int writes) {
      return AtomState{static_cast<double>(r) / 8 + writes, -static_cast<double>(r)};
    };
    ScanRows scan;
    while (rows.size() < c.loaded) {
      const std::vector<uint64_t> a = draw();
      if (!present.insert(a).second) continue;
      rows.push_back(a);
      scan.args.append(a);
      scan.begin.push_back(scan.args.size());
      states.push_back(state_of(rows.size() - 1, 0));
      scan.states.push_back(states.back());
    }
    Relation rel(c.arity);
    ASSERT_TRUE(rel.load(std::move(scan)));
    uint64_t seq = 0;
    auto check = [&](const char* when) {
      for (size_t r = 0; r < rows.size(); ++r) {
        ASSERT_EQ(rel.find(rows[r]), static_cast<int64_t>(r)) << when << " " << rows.size();
        ASSERT_TRUE(std::ranges::equal(rel.args(static_cast<uint32_t>(r)), rows[r]));
        const AtomState got = rel.state(static_cast<uint32_t>(r));
        ASSERT_EQ(std::bit_cast<uint64_t>(got.b), std::bit_cast<uint64_t>(states[r].b)) << when;
        ASSERT_EQ(std::bit_cast<uint64_t>(got.d), std::bit_cast<uint64_t>(states[r].d)) << when;
        ASSERT_TRUE(rel.may_hold(Relation::hash(rows[r]))) << when << " " << rows.size();
      }
      int absent = 0, turned_away = 0;
      for (int k = 0; k < 200; ++k) {
        const std::vector<uint64_t> a = draw();
        if (present.contains(a)) continue;
        ++absent;
        ASSERT_EQ(rel.find(a), -1) << when << " " << rows.size();
        turned_away += !rel.may_hold(Relation::hash(a));
      }
      EXPECT_GE(turned_away * 2, absent) << when << " " << rows.size();  // a filter at all
    };
    if (c.ask_early) check("loaded");
    while (rows.size() < c.loaded + c.added) {
      const std::vector<uint64_t> a = draw();
      if (!present.insert(a).second) continue;
      rows.push_back(a);
      states.push_back(state_of(rows.size() - 1, 0));
      rel.note_write(a, states.back(), ++seq);
      if (c.ask_early && (rows.size() < 300 || rows.size() % 1024 == 0)) check("added");
    }
    for (size_t r = 0; r < rows.size(); r += 3) {
      states[r] = state_of(r, 1);
      rel.note_write(rows[r], states[r], ++seq);
    }
    check("done");
  }
}

}  // namespace
}  // namespace ruvo::test

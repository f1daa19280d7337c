#include "index/core/structures/positional_bitmap/positional_bitmap.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "util/panic.h"

namespace quorvane {
namespace {

using Strings = std::map<uint32_t, std::string>;

std::string random_text(std::mt19937& rng, std::size_t length, std::string_view alphabet = "abc") {
  std::string text(length, ' ');
  for (char& c : text) c = alphabet[rng() % alphabet.size()];
  return text;
}

template <class Pred>
std::vector<uint32_t> brute_force(const Strings& strings, Pred&& pred) {
  std::vector<uint32_t> ids;
  for (const auto& [id, text] : strings) {
    if (pred(std::string_view(text))) ids.push_back(id);
  }
  return ids;
}

// Compares the four queries for `needle` with a scan of the stored strings.
void expect_queries_match(const PositionalBitmap& index, const Strings& strings,
                          const std::string& needle) {
  SCOPED_TRACE("needle '" + needle + "', " + std::to_string(index.column_count()) + " columns");
  if (needle.empty()) {
    EXPECT_TRUE(index.equal(needle).is_empty());
    EXPECT_TRUE(index.starts_with(needle).is_empty());
    EXPECT_TRUE(index.ends_with(needle).is_empty());
    EXPECT_TRUE(index.contains(needle).is_empty());
    return;
  }
  EXPECT_EQ(index.equal(needle).to_vector(),
            brute_force(strings, [&](std::string_view s) { return s == needle; }));
  EXPECT_EQ(index.starts_with(needle).to_vector(),
            brute_force(strings, [&](std::string_view s) { return s.starts_with(needle); }));
  EXPECT_EQ(index.ends_with(needle).to_vector(),
            brute_force(strings, [&](std::string_view s) { return s.ends_with(needle); }));
  EXPECT_EQ(index.contains(needle).to_vector(), brute_force(strings, [&](std::string_view s) {
              return s.find(needle) != std::string_view::npos;
            }));
}

// Needles that hit often: whole stored strings and their prefixes, suffixes
// and inner runs, plus short and long random texts.
std::vector<std::string> random_needles(std::mt19937& rng, const Strings& strings, int count) {
  std::vector<std::string> needles{""};
  std::vector<const std::string*> stored;
  for (const auto& [id, text] : strings) stored.push_back(&text);
  for (int i = 0; i < count; ++i) {
    if (stored.empty() || rng() % 4 == 0) {
      needles.push_back(random_text(rng, 1 + rng() % (rng() % 8 == 0 ? 40 : 4)));
      continue;
    }
    const std::string& text = *stored[rng() % stored.size()];
    std::size_t from = rng() % text.size();
    std::size_t length = 1 + rng() % (text.size() - from);
    switch (rng() % 4) {
      case 0:
        needles.push_back(text);
        break;
      case 1:
        needles.push_back(text.substr(0, length));
        break;
      case 2:
        needles.push_back(text.substr(text.size() - length));
        break;
      default:
        needles.push_back(text.substr(from, length));
        break;
    }
  }
  return needles;
}

// Copies of the bitmaps of one column: start cell, end cell, byte cells.
std::vector<Bitmap> cells_of(const PositionalBitmap& index, std::size_t column) {
  std::vector<Bitmap> cells{index.starts_cell(column).bitmap(), index.ends_cell(column).bitmap()};
  for (int byte = 0; byte < 256; ++byte) cells.push_back(index.byte_cell(column, byte).bitmap());
  return cells;
}

void expect_same_cells(const PositionalBitmap& a, const PositionalBitmap& b) {
  ASSERT_EQ(a.column_count(), b.column_count());
  for (std::size_t j = 0; j < a.column_count(); ++j) {
    EXPECT_EQ(a.cell_count(j), b.cell_count(j)) << "cells of column " << j;
    EXPECT_EQ(a.starts_cell(j).bitmap(), b.starts_cell(j).bitmap()) << "starts of column " << j;
    EXPECT_EQ(a.ends_cell(j).bitmap(), b.ends_cell(j).bitmap()) << "ends of column " << j;
    for (int byte = 0; byte < 256; ++byte) {
      EXPECT_EQ(a.byte_cell(j, byte).bitmap(), b.byte_cell(j, byte).bitmap())
          << "byte " << byte << " of column " << j;
    }
  }
}

// A cell's place: its column and its byte value, or STARTS / ENDS.
constexpr int STARTS = 256, ENDS = 257;
using CellModel = std::map<std::pair<std::size_t, int>, std::set<uint32_t>>;

// The cells that the stored strings make in a row of `count` columns.
CellModel cells_made_by(const Strings& strings, std::size_t count) {
  CellModel cells;
  for (const auto& [id, text] : strings) {
    const std::size_t start = PositionalBitmap::start_column(text.size(), count);
    cells[{start, STARTS}].insert(id);
    for (std::size_t k = 0; k < text.size(); ++k)
      cells[{start + k, static_cast<uint8_t>(text[k])}].insert(id);
    cells[{start + text.size() - 1, ENDS}].insert(id);
  }
  return cells;
}

// Every cell of every column holds what the stored strings put there, and a
// column has exactly the cells that hold an id: absent cells read empty.
void expect_cells_of(const PositionalBitmap& index, const Strings& strings) {
  const CellModel cells = cells_made_by(strings, index.column_count());
  std::vector<std::size_t> made(index.column_count(), 0);
  for (const auto& [place, ids] : cells) ++made[place.first];
  const std::set<uint32_t> none;
  for (std::size_t j = 0; j < index.column_count(); ++j) {
    ASSERT_EQ(index.cell_count(j), made[j]) << "cells of column " << j;
    for (int code = 0; code <= ENDS; ++code) {
      const auto& cell = code == STARTS ? index.starts_cell(j)
                         : code == ENDS ? index.ends_cell(j)
                                        : index.byte_cell(j, static_cast<uint8_t>(code));
      EXPECT_EQ(cell.pending_count(), 0u);
      const auto it = cells.find({j, code});
      const std::set<uint32_t>& ids = it == cells.end() ? none : it->second;
      ASSERT_EQ(cell.bitmap().to_vector(), std::vector<uint32_t>(ids.begin(), ids.end()))
          << "column " << j << ", code " << code;
    }
  }
}

// Random inserts, pushes with flushes, removals (of stored strings and of
// strings never stored), widenings, unions and intersections: after every
// few steps each cell matches the cells the stored strings make, absent
// cells included, and the queries match a scan. Strings use 40 byte values
// (0 and 255 among them), so that middle columns hold many cells and outer
// ones few.
TEST(PositionalBitmap, CellsExistExactlyWhereStoredStringsPutIds) {
  std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKL";
  alphabet += '\0';
  alphabet += '\xff';
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    PositionalBitmap index;
    Strings strings;
    uint32_t next_id = 0;
    auto new_text = [&] {
      return random_text(rng, 1 + rng() % (rng() % 10 == 0 ? 30 : 6), alphabet);
    };
    for (int step = 0; step < 400; ++step) {
      switch (rng() % 10) {
        case 0: {  // widen: no cell is made
          index.expand_map(index.column_count() + 1 + rng() % 5);
          break;
        }
        case 1: {  // remove what is not stored: a no-op
          index.remove(new_text(), next_id + 1000);
          if (!strings.empty()) {
            // A stored id with a text it does not hold, longer than the row.
            index.remove(std::string(index.column_count() + 3, 'a'), strings.begin()->first);
          }
          break;
        }
        case 2:
        case 3: {
          if (strings.empty()) break;
          auto it = strings.begin();
          std::advance(it, rng() % strings.size());
          index.remove(it->second, it->first);
          strings.erase(it);
          break;
        }
        case 4: {  // a bulk write, widening on the way
          for (int i = 0; i < 20; ++i) {
            const std::string text = new_text();
            index.push(text, ++next_id);
            strings[next_id] = text;
          }
          index.flush();
          break;
        }
        case 5: {  // keep about two thirds of the ids
          if (rng() % 4 != 0) break;
          Bitmap keep;
          for (auto it = strings.begin(); it != strings.end();) {
            if (rng() % 3 != 0) {
              keep.add(it->first);
              ++it;
            } else {
              it = strings.erase(it);
            }
          }
          keep.add(next_id + 77);  // an id with no string makes no cell
          index.intersect_with(keep);
          break;
        }
        case 6: {  // merge another index, some of its ids only
          if (rng() % 4 != 0) break;
          PositionalBitmap other;
          Bitmap only;
          for (int i = 0; i < 10; ++i) {
            const std::string text = new_text();
            other.insert(text, ++next_id);
            if (rng() % 2 == 0) {
              only.add(next_id);
              strings[next_id] = text;
            }
          }
          index.union_with(other, &only);
          break;
        }
        default: {
          const std::string text = new_text();
          index.insert(text, ++next_id);
          strings[next_id] = text;
          break;
        }
      }
      if (step % 20 == 19) {
        ASSERT_NO_FATAL_FAILURE(expect_cells_of(index, strings));
        for (const std::string& needle : random_needles(rng, strings, 10))
          expect_queries_match(index, strings, needle);
      }
    }
    // Removing every string frees every cell.
    for (const auto& [id, text] : strings) index.remove(text, id);
    for (std::size_t j = 0; j < index.column_count(); ++j) EXPECT_EQ(index.cell_count(j), 0u);
  }
}

// A long string makes its own cells and no other: one per byte plus its
// start and end cells, in a row that widening leaves without cells.
TEST(PositionalBitmap, LongStringMakesOnlyItsOwnCells) {
  std::mt19937 rng(8);
  PositionalBitmap index;
  index.expand_map(40);
  std::size_t cells = 0;
  for (std::size_t j = 0; j < index.column_count(); ++j) cells += index.cell_count(j);
  EXPECT_EQ(cells, 0u);
  const std::string text = random_text(rng, 10000, "abcdefghijklmnopqrstuvwxyz");
  index.insert(text, 3);
  cells = 0;
  for (std::size_t j = 0; j < index.column_count(); ++j) cells += index.cell_count(j);
  EXPECT_EQ(cells, text.size() + 2);
  expect_queries_match(index, {{3, text}}, text.substr(4000, 20));
  expect_queries_match(index, {{3, text}}, text);
  index.remove(text, 3);
  cells = 0;
  for (std::size_t j = 0; j < index.column_count(); ++j) cells += index.cell_count(j);
  EXPECT_EQ(cells, 0u);
  EXPECT_TRUE(index.contains(text.substr(10, 3)).is_empty());
}

// Random inserts and removals, with lengths that include 1, C - 1, C and
// longer (widening in the middle of the run); every few steps all four
// queries are compared with a scan.
TEST(PositionalBitmap, QueriesAgreeWithBruteForce) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    PositionalBitmap index;
    Strings strings;
    uint32_t next_id = 0;
    for (int step = 0; step < 1500; ++step) {
      const std::size_t columns = index.column_count();
      if (!strings.empty() && rng() % 4 == 0) {
        auto it = strings.begin();
        std::advance(it, rng() % strings.size());
        index.remove(it->second, it->first);
        strings.erase(it);
      } else {
        std::size_t length;
        switch (rng() % 20) {
          case 0:
            length = 1;
            break;
          case 1:
            length = columns > 1 ? columns - 1 : 1;
            break;
          case 2:
            length = columns;
            break;
          case 3:
            length = columns + 1 + rng() % 4;
            break;
          default:
            length = 1 + rng() % 8;
            break;
        }
        if (columns > 40) length = std::min<std::size_t>(length, 1 + rng() % 8);
        std::string text = random_text(rng, length);
        uint32_t id = next_id += 1 + rng() % 3;
        index.insert(text, id);
        strings[id] = text;
        ASSERT_GT(index.column_count(), text.size());
        ASSERT_EQ(index.column_count() % 2, 0u);
      }
      if (step % 50 == 49) {
        for (const std::string& needle : random_needles(rng, strings, 25))
          expect_queries_match(index, strings, needle);
        std::vector<uint32_t> all;
        for (const auto& [id, text] : strings) all.push_back(id);
        EXPECT_EQ(index.all_ids().to_vector(), all);
      }
    }
  }
}

TEST(PositionalBitmap, NamedPlacementAndWideningCases) {
  PositionalBitmap grow;
  grow.expand_map(1);
  EXPECT_EQ(grow.column_count(), 2u);
  grow.expand_map(2);
  EXPECT_EQ(grow.column_count(), 2u);
  PositionalBitmap grow3;
  grow3.expand_map(3);
  EXPECT_EQ(grow3.column_count(), 4u);
  grow3.expand_map(1);
  EXPECT_EQ(grow3.column_count(), 4u) << "a smaller target changes nothing";

  // Equality is anchored on both ends: "b" does not find "ab" or "ba".
  PositionalBitmap index;
  index.insert("ab", 1);
  index.insert("ba", 2);
  index.insert("b", 3);
  EXPECT_EQ(index.equal("b").to_vector(), (std::vector<uint32_t>{3}));
  EXPECT_EQ(index.equal("ab").to_vector(), (std::vector<uint32_t>{1}));
  EXPECT_EQ(index.contains("b").to_vector(), (std::vector<uint32_t>{1, 2, 3}));

  // Widening 4 -> 8 moves columns 0..3 to 2..5 with all their cells.
  PositionalBitmap four;
  four.insert("xyz", 10);  // 4 columns, placed at column 0
  four.insert("q", 11);    // placed at column 1
  ASSERT_EQ(four.column_count(), 4u);
  EXPECT_TRUE(four.starts_cell(0).bitmap().contains(10));
  EXPECT_TRUE(four.byte_cell(1, 'q').bitmap().contains(11));
  std::vector<std::vector<Bitmap>> before;
  for (std::size_t j = 0; j < 4; ++j) before.push_back(cells_of(four, j));
  four.expand_map(8);
  ASSERT_EQ(four.column_count(), 8u);
  for (std::size_t j : {0u, 1u, 6u, 7u}) {
    EXPECT_TRUE(four.starts_cell(j).bitmap().is_empty());
    EXPECT_TRUE(four.ends_cell(j).bitmap().is_empty());
    for (int byte = 0; byte < 256; ++byte) EXPECT_TRUE(four.byte_cell(j, byte).bitmap().is_empty());
  }
  for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(cells_of(four, j + 2), before[j]) << "column " << j;
  // Stored before the widening, still found after it, and shorter strings
  // inserted now are centred in the wider row.
  four.insert("xy", 12);
  Strings strings{{10, "xyz"}, {11, "q"}, {12, "xy"}};
  for (std::string needle : {"x", "xy", "xyz", "yz", "z", "q", "y", "xyzq"})
    expect_queries_match(four, strings, needle);

  // Lengths C - 1 (fits) and C (widens first); removal never widens and
  // ignores texts that cannot be stored.
  PositionalBitmap edge;
  edge.expand_map(6);
  edge.insert("abcde", 1);
  EXPECT_EQ(edge.column_count(), 6u);
  EXPECT_TRUE(edge.starts_cell(0).bitmap().contains(1));
  EXPECT_TRUE(edge.ends_cell(4).bitmap().contains(1));
  edge.insert("abcdef", 2);
  EXPECT_EQ(edge.column_count(), 8u);
  edge.remove("abcdefghijklmnop", 2);
  edge.remove("", 2);
  EXPECT_EQ(edge.column_count(), 8u);
  EXPECT_EQ(edge.starts_with("abcde").to_vector(), (std::vector<uint32_t>{1, 2}));
  edge.remove("abcdef", 2);
  EXPECT_EQ(edge.starts_with("abcde").to_vector(), (std::vector<uint32_t>{1}));
  EXPECT_EQ(edge.all_ids().to_vector(), (std::vector<uint32_t>{1}));
  edge.insert("", 3);
  EXPECT_EQ(edge.column_count(), 8u);
  EXPECT_EQ(edge.all_ids().to_vector(), (std::vector<uint32_t>{1}));

  PositionalBitmap empty;
  empty.remove("abc", 1);
  EXPECT_EQ(empty.column_count(), 0u);
  expect_queries_match(empty, {}, "a");
  EXPECT_THROW(empty.starts_cell(0), Panic);
}

// The bulk path (push, with widenings while ids are pending, then flush)
// leaves exactly the cells that direct insertion leaves.
TEST(PositionalBitmap, PushWidenFlushEqualsInsert) {
  std::mt19937 rng(11);
  PositionalBitmap direct, bulk;
  Strings strings;
  bool saw_pending = false;
  for (uint32_t id = 0; id < 3000; ++id) {
    std::size_t length = id % 700 == 699 ? bulk.column_count() + 1 + rng() % 3 : 1 + rng() % 6;
    std::string text = random_text(rng, length, "abcd");
    if (length > bulk.column_count()) {
      for (std::size_t j = 0; j < bulk.column_count(); ++j)
        saw_pending |= bulk.byte_cell(j, 'a').pending_count() > 0;
    }
    direct.insert(text, id);
    bulk.push(text, id);
    strings[id] = text;
  }
  EXPECT_TRUE(saw_pending) << "no widening happened while ids were pending";
  EXPECT_GT(bulk.column_count(), 8u);
  bulk.flush();
  expect_same_cells(direct, bulk);
  for (const std::string& needle : random_needles(rng, strings, 30))
    expect_queries_match(bulk, strings, needle);
}

// Long strings pushed in bulk make the bitmap flush by itself mid-batch; what
// it holds in the end is what direct insertion holds.
TEST(PositionalBitmap, PushesFlushedMidBatchEqualInsert) {
  std::mt19937 rng(5);
  PositionalBitmap direct, bulk(/*flush_after_pushes=*/500);
  Strings strings;
  auto pending_in_first_column = [&] {
    uint32_t n = 0;
    for (char c : std::string("abc"))
      n += bulk.byte_cell(0, static_cast<uint8_t>(c)).pending_count();
    return n;
  };
  int self_flushes = 0;
  for (uint32_t id = 0; id < 400; ++id) {
    std::string text = random_text(rng, 1 + rng() % 300, "abc");
    const std::size_t columns = bulk.column_count();
    const uint32_t before = columns > 0 ? pending_in_first_column() : 0;
    direct.insert(text, id);
    bulk.push(text, id);
    // Pending ids that vanish without a widening were flushed by the push.
    if (bulk.column_count() == columns && pending_in_first_column() < before) ++self_flushes;
    strings[id] = text;
  }
  EXPECT_GT(self_flushes, 3);
  bulk.flush();
  expect_same_cells(direct, bulk);
  for (const std::string& needle : random_needles(rng, strings, 20))
    expect_queries_match(bulk, strings, needle);
}

TEST(PositionalBitmap, UnionAndIntersectAgreeWithBruteForce) {
  std::mt19937 rng(5);
  PositionalBitmap narrow_index, wide_index;
  Strings all;
  for (uint32_t id = 0; id < 400; ++id) {
    bool wide = id % 2;
    std::string text = random_text(rng, 1 + rng() % (wide ? 14 : 4));
    (wide ? wide_index : narrow_index).insert(text, id);
    all[id] = text;
  }
  ASSERT_LT(narrow_index.column_count(), wide_index.column_count());

  PositionalBitmap merged;
  merged.union_with(narrow_index);  // into an empty index
  merged.union_with(wide_index);    // widens to the wider count
  PositionalBitmap merged_other_way;
  merged_other_way.union_with(wide_index);
  merged_other_way.union_with(narrow_index);  // narrower into wider
  expect_same_cells(merged, merged_other_way);
  for (const std::string& needle : random_needles(rng, all, 40))
    expect_queries_match(merged, all, needle);

  Bitmap keep;
  Strings kept;
  for (const auto& [id, text] : all) {
    if (rng() % 3 == 0) keep.add(id), kept[id] = text;
  }
  merged.intersect_with(keep);
  for (const std::string& needle : random_needles(rng, kept, 40))
    expect_queries_match(merged, kept, needle);
  EXPECT_EQ(merged.all_ids(), keep);

  // Taking most of the rest out at once, texts sharing cells: only the
  // survivors are left.
  std::map<std::string, std::vector<uint32_t>> gone;
  Strings left;
  for (const auto& [id, text] : kept) {
    if (rng() % 4 != 0) {
      gone[text].push_back(id);
    } else {
      left[id] = text;
    }
  }
  PositionalBitmap::Removal removal(merged);
  for (const auto& [text, ids] : gone) removal.add(text, ids);
  removal.apply();
  for (const std::string& needle : random_needles(rng, left, 40))
    expect_queries_match(merged, left, needle);
  EXPECT_EQ(merged.all_ids().cardinality(), left.size());

  // Limited to some ids of the wider index: the others leave no bit behind,
  // also where the narrower index holds the same id.
  PositionalBitmap limited;
  limited.union_with(narrow_index);
  Strings expected;
  Bitmap only;
  for (const auto& [id, text] : all) {
    if (id % 2 == 0) expected[id] = text;
    if (id % 2 == 1 && rng() % 2 == 0) only.add(id), expected[id] = text;
  }
  wide_index.insert("zzzzzzzzzzzz", 0);  // id 0 is narrow's; not in `only`
  limited.union_with(wide_index, &only);
  EXPECT_EQ(limited.all_ids().cardinality(), expected.size());
  for (const std::string& needle : random_needles(rng, expected, 40))
    expect_queries_match(limited, expected, needle);
  expect_queries_match(limited, expected, "zzzzzzzzzzzz");

  PositionalBitmap pending;
  pending.push("abc", 1);
  EXPECT_THROW(merged.union_with(pending), Panic);
}

}  // namespace
}  // namespace quorvane

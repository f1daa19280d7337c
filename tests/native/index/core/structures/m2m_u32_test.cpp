#include "index/core/structures/m2m/m2m_u32.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

namespace quorvane {
namespace {

using Links = std::set<std::pair<uint32_t, uint32_t>>;  // (parent, child)

std::vector<uint32_t> parents_in(const Links& links, const Bitmap& children) {
  std::set<uint32_t> out;
  for (auto [parent, child] : links) {
    if (children.contains(child)) out.insert(parent);
  }
  return {out.begin(), out.end()};
}

std::vector<uint32_t> children_in(const Links& links, const Bitmap& parents) {
  std::set<uint32_t> out;
  for (auto [parent, child] : links) {
    if (parents.contains(parent)) out.insert(child);
  }
  return {out.begin(), out.end()};
}

std::size_t parents_of(const Links& links, uint32_t child) {
  std::size_t n = 0;
  for (auto [parent, c] : links) n += c == child;
  return n;
}

Bitmap random_ids(std::mt19937& rng, uint32_t range, std::size_t count) {
  Bitmap ids;
  for (std::size_t i = 0; i < count; ++i) ids.add(rng() % range);
  return ids;
}

// Links, unlinks and parent drops in random order, with ids drawn from a
// small range so that ids have several parents and children; every query is
// compared with a scan of the pair set. Query sizes vary so that both the
// walk over the asked ids and the walk over the table are taken.
TEST(M2MU32, AgreesWithPairSetOracle) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const uint32_t range = seed % 2 ? 60 : 2000;
    M2MU32 links;
    Links oracle;
    for (int step = 0; step < 4000; ++step) {
      uint32_t parent = rng() % range, child = rng() % range;
      switch (rng() % 10) {
        case 0:
        case 1:
        case 2:
        case 3:
          links.register_path(parent, child);
          oracle.insert({parent, child});
          break;
        case 4:
          if (!oracle.empty() && rng() % 2) {  // unlink a pair that exists
            auto it = oracle.begin();
            std::advance(it, rng() % oracle.size());
            std::tie(parent, child) = *it;
          }
          EXPECT_EQ(links.unlink(parent, child), oracle.erase({parent, child}) == 1);
          break;
        case 5: {
          Bitmap dropped = random_ids(rng, range, rng() % 4 == 0 ? range : 1 + rng() % 3);
          std::set<uint32_t> affected, orphans;
          for (auto it = oracle.begin(); it != oracle.end();) {
            if (dropped.contains(it->first)) {
              affected.insert(it->second);
              it = oracle.erase(it);
            } else {
              ++it;
            }
          }
          for (uint32_t c : affected) {
            if (parents_of(oracle, c) == 0) orphans.insert(c);
          }
          EXPECT_EQ(links.drop_parents(dropped).to_vector(),
                    std::vector<uint32_t>(orphans.begin(), orphans.end()));
          break;
        }
        default: {
          Bitmap asked = random_ids(rng, range, rng() % 3 == 0 ? range : 1 + rng() % 5);
          EXPECT_EQ(links.get_parent_from_ids(asked).to_vector(), parents_in(oracle, asked));
          EXPECT_EQ(links.children_of(asked).to_vector(), children_in(oracle, asked));
          EXPECT_EQ(links.parent_count(child), parents_of(oracle, child));
          EXPECT_EQ(links.has_parents(child), parents_of(oracle, child) > 0);
          break;
        }
      }
      EXPECT_EQ(links.is_empty(), oracle.empty());
    }
  }
}

TEST(M2MU32, NamedLinkCases) {
  M2MU32 links;
  EXPECT_TRUE(links.is_empty());
  EXPECT_TRUE(links.get_parent_from_ids(Bitmap{1, 2}).is_empty());
  EXPECT_FALSE(links.unlink(1, 2));
  links.register_path(5, 9);
  EXPECT_EQ(links.get_parent_from_ids(Bitmap{9}).to_vector(), (std::vector<uint32_t>{5}));
  EXPECT_EQ(links.children_of(Bitmap{5}).to_vector(), (std::vector<uint32_t>{9}));
  EXPECT_TRUE(links.get_parent_from_ids(Bitmap{}).is_empty());

  // Exact: parents 0x12 and 0x21 of child 7 do not make 0x11 or 0x22 parents.
  links.register_path(0x12, 7);
  links.register_path(0x21, 7);
  EXPECT_TRUE(links.children_of(Bitmap{0x11}).is_empty());
  EXPECT_TRUE(links.children_of(Bitmap{0x22}).is_empty());
  EXPECT_EQ(links.get_parent_from_ids(Bitmap{7}).to_vector(), (std::vector<uint32_t>{0x12, 0x21}));

  // Registering twice changes nothing: one unlink removes the link.
  M2MU32 twice;
  twice.register_path(3, 7);
  twice.register_path(4, 7);
  twice.register_path(3, 7);
  EXPECT_EQ(twice.parent_count(7), 2u);
  EXPECT_EQ(twice.get_parent_from_ids(Bitmap{7}).to_vector(), (std::vector<uint32_t>{3, 4}));
  EXPECT_TRUE(twice.unlink(3, 7));
  EXPECT_FALSE(twice.unlink(3, 7));
  EXPECT_EQ(twice.get_parent_from_ids(Bitmap{7}).to_vector(), (std::vector<uint32_t>{4}));
  EXPECT_TRUE(twice.children_of(Bitmap{3}).is_empty());

  // Dropping a parent orphans only the children it held alone.
  twice.register_path(4, 8);
  twice.register_path(5, 8);
  EXPECT_EQ(twice.drop_parents(Bitmap{4}).to_vector(), (std::vector<uint32_t>{7}));
  EXPECT_FALSE(twice.has_parents(7));
  EXPECT_EQ(twice.parent_count(8), 1u);
}

TEST(M2MU32, UnionAddsEveryLink) {
  std::mt19937 rng(3);
  M2MU32 a, b;
  Links oracle;
  for (int i = 0; i < 500; ++i) {
    uint32_t parent = rng() % 40, child = rng() % 40;
    (i % 2 ? a : b).register_path(parent, child);
    oracle.insert({parent, child});
  }
  a.union_with(b);
  a.union_with(a);
  Bitmap every = random_ids(rng, 40, 1000);
  for (uint32_t id = 0; id < 40; ++id) {
    EXPECT_EQ(a.get_parent_from_ids(Bitmap{id}).to_vector(), parents_in(oracle, Bitmap{id}));
    EXPECT_EQ(a.children_of(Bitmap{id}).to_vector(), children_in(oracle, Bitmap{id}));
  }
  EXPECT_EQ(a.get_parent_from_ids(every).to_vector(), parents_in(oracle, every));
  EXPECT_GT(a.memory_bytes(), b.memory_bytes());
}

}  // namespace
}  // namespace quorvane

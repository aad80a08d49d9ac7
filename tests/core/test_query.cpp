// All-of queries: findobject, find, for_each_match and count, checked against
// a full scan, under the default allocator and a pool of the store's own.
#include <algorithm>
#include <random>
#include <vector>

#include "invariants.hpp"

namespace {

using Store = vornic::Vornic<std::string, std::string>;
using Tags = Store::tag_set;
using Keys = std::set<std::string>;
template <class S>
using Records = std::set<const typename S::object_type*>;

template <class S>
Records<S> scan(const S& store, const typename S::tag_set& query) {
  Records<S> matches;
  if (query.empty()) return matches;
  for (const auto& entry : store.objecttable) {
    const auto& tags = entry.second.tags;
    if (std::all_of(query.begin(), query.end(), [&](const std::string& t) { return tags.count(t) != 0; })) {
      matches.insert(&entry.second);
    }
  }
  return matches;
}

/// Runs every query entry point and checks each against the scan and the others.
template <class S>
void expect_query_agrees(const S& store, const typename S::tag_set& query) {
  using Records = Records<S>;
  SCOPED_TRACE("query " + testing::PrintToString(query));
  const auto objects = store.findobject(query);
  const Records expected = scan(store, query);
  EXPECT_EQ(Records(objects.begin(), objects.end()), expected);
  const auto keys = store.find(query);
  EXPECT_EQ(keys.size(), objects.size());
  for (const auto* record : objects) EXPECT_EQ(keys.count(&record->data), 1u);
  EXPECT_EQ(store.count(query), objects.size());
  Records visited;
  store.for_each_match(query, [&](const auto* record) { EXPECT_TRUE(visited.insert(record).second); });
  EXPECT_EQ(visited, expected);
}

Keys found_keys(const Store& store, const Tags& query) {
  Keys keys;
  for (const std::string* key : store.find(query)) keys.insert(*key);
  return keys;
}

template <class T = Tags>
T random_tags(std::mt19937& rng, unsigned max_size, unsigned pool) {
  T tags;
  for (unsigned n = rng() % (max_size + 1); n > 0; --n) {
    const unsigned spread = 1 + rng() % pool;  // skews towards t0 so posting sets differ in size
    tags.insert("t" + std::to_string(rng() % spread));
  }
  return tags;
}

template <class S>
void random_queries_agree(unsigned seed) {
  std::mt19937 rng(seed);
  S store;
  for (int step = 0; step < 400; ++step) {
    // Stored tags come from t0..t7; queries may also name the unused t8 and t9.
    const std::string key = "k" + std::to_string(rng() % 80);
    store.insert(key, random_tags<typename S::tag_set>(rng, 4, 8));
    vornic_test::check_invariants(store);
    for (int q = 0; q < 5; ++q) expect_query_agrees(store, random_tags<typename S::tag_set>(rng, 3, 10));
    ASSERT_FALSE(testing::Test::HasFailure()) << "step " << step;
  }
}

class RandomQueries : public testing::TestWithParam<unsigned> {};

TEST_P(RandomQueries, AgreeWithFullScan) {
  random_queries_agree<Store>(GetParam());
  random_queries_agree<vornic_test::PooledStore<std::string, std::string>>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomQueries, testing::Values(1u, 99u, 4242u));

struct QueryCase {
  Tags query;
  Keys keys;
};

TEST(Query, MatchesExactlyTheKeysCarryingAllTags) {
  Store store;
  store.insert("a", {"x"});
  store.insert("b", {"x", "y"});
  store.insert("c", {"x", "y", "z"});
  store.insert("d", {"y"});
  const std::vector<QueryCase> cases = {
      {{}, {}},
      {{"x"}, {"a", "b", "c"}},
      {{"y"}, {"b", "c", "d"}},
      {{"x", "y"}, {"b", "c"}},
      {{"z", "x", "y"}, {"c"}},
      {{"nope"}, {}},
      {{"x", "nope"}, {}},
  };
  for (const QueryCase& c : cases) {
    EXPECT_EQ(found_keys(store, c.query), c.keys) << testing::PrintToString(c.query);
    expect_query_agrees(store, c.query);
  }
  // Re-tagged keys stop matching their former tags at once.
  store.insert("c", {"x"});  // c was the last carrier of z
  EXPECT_EQ(found_keys(store, {"x", "z"}), Keys{});
  store.insert("b", {"z"});
  EXPECT_EQ(found_keys(store, {"y"}), Keys{"d"});
  EXPECT_EQ(found_keys(store, {"z"}), Keys{"b"});
}

}  // namespace

// Store operations: insert, both erase overloads, listtags and record address stability.
#include <algorithm>
#include <random>
#include <type_traits>
#include <utility>
#include <vector>

#include "invariants.hpp"

namespace {

using vornic_test::as_model;
using vornic_test::check_invariants;
using Store = vornic::Vornic<std::string, std::string>;
using Record = Store::object_type;
using Model = std::map<std::string, std::set<std::string>>;

// A copy would leave its tagindex pointing into the source's records.
static_assert(!std::is_copy_constructible_v<Store>);
static_assert(!std::is_copy_assignable_v<Store>);

template <class T>
T make(unsigned i) {
  return static_cast<T>(i);
}
template <>
std::string make(unsigned i) {
  return "s" + std::to_string(i);
}

template <class V>
std::set<V> random_tags(std::mt19937& rng) {
  std::set<V> tags;
  for (unsigned n = rng() % 4; n > 0; --n) tags.insert(make<V>(rng() % 6));
  return tags;
}

/// One random insert (possibly with no tags) or erase, mirrored in the model.
template <class K, class V>
void random_step(vornic::Vornic<K, V>& store, std::map<K, std::set<V>>& model, std::mt19937& rng) {
  const K key = make<K>(rng() % 16);
  const bool present = model.count(key) != 0;
  switch (rng() % 4) {
    case 0: {
      // The probe's tags must be ignored: only its key selects the entry.
      const vornic::Object<K, V> probe(key, {make<V>(99)});
      const vornic::Object<K, V> removed = store.erase(&probe);
      EXPECT_EQ(removed.data, present ? key : K{});
      EXPECT_EQ(std::set<V>(removed.tags.begin(), removed.tags.end()), present ? model[key] : std::set<V>{});
      model.erase(key);
      break;
    }
    case 1:
      EXPECT_EQ(store.erase(&key), present ? key : K{});
      model.erase(key);
      break;
    default: {
      const std::set<V> tags = random_tags<V>(rng);
      store.insert(key, {tags.begin(), tags.end()});
      model[key] = tags;
      if (tags.empty()) model.erase(key);
    }
  }
}

/// Every key that stayed stored since the last call still has the same record.
template <class K, class V>
void check_addresses(const vornic::Vornic<K, V>& store, std::map<K, const vornic::Object<K, V>*>& seen) {
  for (auto it = seen.begin(); it != seen.end();) {
    it = store.objecttable.count(it->first) ? std::next(it) : seen.erase(it);
  }
  for (const auto& [key, record] : store.objecttable) {
    const auto& address = seen.emplace(key, &record).first->second;
    EXPECT_EQ(address, &record) << "record moved: " << testing::PrintToString(key);
  }
}

template <class K, class V>
void check_listtags(const vornic::Vornic<K, V>& store, const std::map<K, std::set<V>>& model) {
  std::set<V> in_use;
  for (const auto& entry : model) in_use.insert(entry.second.begin(), entry.second.end());
  std::vector<V> listed = store.listtags();
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, std::vector<V>(in_use.begin(), in_use.end()));
}

template <class KeyAndTag>
class RandomOps : public testing::Test {};
using KeyTagTypes = testing::Types<std::pair<std::string, std::string>, std::pair<int, std::string>,
                                   std::pair<std::string, long>>;
TYPED_TEST_SUITE(RandomOps, KeyTagTypes);

TYPED_TEST(RandomOps, AgreeWithModelAfterEveryStep) {
  using K = typename TypeParam::first_type;
  using V = typename TypeParam::second_type;
  for (unsigned seed : {1u, 7u, 2024u}) {
    std::mt19937 rng(seed);
    vornic::Vornic<K, V> store;
    std::map<K, std::set<V>> model;
    std::map<K, const vornic::Object<K, V>*> seen;
    for (int step = 0; step < 600; ++step) {
      random_step(store, model, rng);
      check_invariants(store);
      EXPECT_EQ(as_model(store), model);
      check_addresses(store, seen);
      check_listtags(store, model);
      ASSERT_FALSE(testing::Test::HasFailure()) << "seed " << seed << ", step " << step;
    }
  }
}

TEST(Store, AddressesSurviveRehashAndOtherRemovals) {
  Store store;
  store.insert("keep", {"x"});
  const Record* kept = &store.objecttable.at("keep");
  const auto buckets = store.objecttable.bucket_count();
  for (int i = 0; i < 5000; ++i) store.insert("k" + std::to_string(i), {"t" + std::to_string(i % 7), "x"});
  ASSERT_NE(store.objecttable.bucket_count(), buckets);
  for (int i = 0; i < 5000; i += 2) {
    const std::string key = "k" + std::to_string(i);
    store.erase(&key);
  }
  EXPECT_EQ(&store.objecttable.at("keep"), kept);
  check_invariants(store);
}

TEST(Store, ArgumentsMayReferIntoTheStore) {
  Store store;
  store.insert("a", {"x", "y"});
  store.insert("b", {"y"});
  Record& a = store.objecttable.at("a");
  store.insert(a.data, a.tags);
  store.insert(a.data, store.objecttable.at("b").tags);
  EXPECT_EQ(as_model(store), (Model{{"a", {"y"}}, {"b", {"y"}}}));
  const Record removed = store.erase(&a);
  EXPECT_EQ(removed.data, "a");
  EXPECT_EQ(removed.tags, Store::tag_set{"y"});
  EXPECT_EQ(store.erase(&store.objecttable.at("b").data), "b");
  EXPECT_TRUE(store.objecttable.empty() && store.tagindex.empty());
}

TEST(Store, MoveKeepsRecordAddresses) {
  Store source;
  source.insert("a", {"x"});
  source.insert("b", {"x", "y"});
  const Record* a = &source.objecttable.at("a");
  Store moved(std::move(source));
  EXPECT_EQ(&moved.objecttable.at("a"), a);
  Store assigned;
  assigned.insert("old", {"z"});
  assigned = std::move(moved);
  EXPECT_EQ(&assigned.objecttable.at("a"), a);
  EXPECT_EQ(assigned.findobject({"x"}).count(a), 1u);
  EXPECT_EQ(as_model(assigned), (Model{{"a", {"x"}}, {"b", {"x", "y"}}}));
  check_invariants(assigned);
}

TEST(Store, ClearGivesBackTheBucketArrays) {
  Store store;
  for (int i = 0; i < 5000; ++i) store.insert("k" + std::to_string(i), {"t" + std::to_string(i)});
  store.clear();
  // Kept arrays would make every later clear zero 5000-odd buckets.
  EXPECT_LT(store.objecttable.bucket_count(), 16u);
  EXPECT_LT(store.tagindex.bucket_count(), 16u);
  EXPECT_TRUE(as_model(store).empty());
  store.insert("a", {"x"});
  EXPECT_EQ(as_model(store), (Model{{"a", {"x"}}}));
  check_invariants(store);
}

}  // namespace

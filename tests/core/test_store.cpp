// Store operations: insert, both erase overloads, listtags and record address
// stability, under the default allocator and a pool of the store's own.
#include <algorithm>
#include <random>
#include <type_traits>
#include <utility>
#include <vector>

#include "invariants.hpp"
#include "snapshot.hpp"

namespace {

using vornic_test::as_model;
using vornic_test::check_invariants;
using vornic_test::PooledStore;
using Model = std::map<std::string, std::set<std::string>>;

// A copy would leave its tagindex pointing into the source's records.
static_assert(!std::is_copy_constructible_v<PooledStore<std::string, std::string>>);
static_assert(!std::is_copy_assignable_v<PooledStore<std::string, std::string>>);

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
template <class Store, class K, class V>
void random_step(Store& store, std::map<K, std::set<V>>& model, std::mt19937& rng) {
  const K key = make<K>(rng() % 16);
  const bool present = model.count(key) != 0;
  switch (rng() % 4) {
    case 0: {
      // The probe's tags must be ignored: only its key selects the entry.
      const typename Store::object_type probe(key, {make<V>(99)});
      const typename Store::object_type removed = store.erase(&probe);
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
template <class Store, class K>
void check_addresses(const Store& store, std::map<K, const typename Store::object_type*>& seen) {
  for (auto it = seen.begin(); it != seen.end();) {
    it = store.objecttable.count(it->first) ? std::next(it) : seen.erase(it);
  }
  for (const auto& [key, record] : store.objecttable) {
    const auto& address = seen.emplace(key, &record).first->second;
    EXPECT_EQ(address, &record) << "record moved: " << testing::PrintToString(key);
  }
}

template <class Store, class K, class V>
void check_listtags(const Store& store, const std::map<K, std::set<V>>& model) {
  std::set<V> in_use;
  for (const auto& entry : model) in_use.insert(entry.second.begin(), entry.second.end());
  std::vector<V> listed = store.listtags();
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, std::vector<V>(in_use.begin(), in_use.end()));
}

template <class Store>
class RandomOps : public testing::Test {};
using StoreTypes = testing::Types<vornic::Vornic<std::string, std::string>, vornic::Vornic<int, std::string>,
                                  vornic::Vornic<std::string, long>, PooledStore<std::string, std::string>,
                                  PooledStore<int, long>>;
TYPED_TEST_SUITE(RandomOps, StoreTypes);

TYPED_TEST(RandomOps, AgreeWithModelAfterEveryStep) {
  using K = typename decltype(TypeParam::objecttable)::key_type;
  using V = typename decltype(TypeParam::tagindex)::key_type;
  for (unsigned seed : {1u, 7u, 2024u}) {
    std::mt19937 rng(seed);
    TypeParam store;
    std::map<K, std::set<V>> model;
    std::map<K, const typename TypeParam::object_type*> seen;
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

template <class Store>
class Stores : public testing::Test {};
using StringStores =
    testing::Types<vornic::Vornic<std::string, std::string>, PooledStore<std::string, std::string>>;
TYPED_TEST_SUITE(Stores, StringStores);

TYPED_TEST(Stores, AddressesSurviveRehashAndOtherRemovals) {
  using Store = TypeParam;
  using Record = typename Store::object_type;
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

TYPED_TEST(Stores, ArgumentsMayReferIntoTheStore) {
  using Store = TypeParam;
  using Record = typename Store::object_type;
  Store store;
  store.insert("a", {"x", "y"});
  store.insert("b", {"y"});
  Record& a = store.objecttable.at("a");
  store.insert(a.data, a.tags);
  store.insert(a.data, store.objecttable.at("b").tags);
  EXPECT_EQ(as_model(store), (Model{{"a", {"y"}}, {"b", {"y"}}}));
  const Record removed = store.erase(&a);
  EXPECT_EQ(removed.data, "a");
  EXPECT_EQ(removed.tags, typename Store::tag_set{"y"});
  EXPECT_EQ(store.erase(&store.objecttable.at("b").data), "b");
  EXPECT_TRUE(store.objecttable.empty() && store.tagindex.empty());
}

TYPED_TEST(Stores, MoveKeepsRecordAddresses) {
  using Store = TypeParam;
  using Record = typename Store::object_type;
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

TYPED_TEST(Stores, ClearGivesBackTheBucketArrays) {
  TypeParam store;
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

using Pooled = PooledStore<std::string, std::string>;

std::size_t pool_bytes(const Pooled& store) { return store.get_allocator().pool()->chunk_bytes(); }

void erase_range(Pooled& store, int from, int to) {
  for (int i = from; i < to; ++i) {
    const std::string key = std::string("k").append(std::to_string(i));
    store.erase(&key);
  }
}

TEST(PooledStore, GivesMemoryBackAsItShrinks) {
  Pooled store;
  for (int i = 0; i < 100000; ++i) {
    store.insert("k" + std::to_string(i), {"t" + std::to_string(i % 50), "all"});
  }
  const std::size_t full = pool_bytes(store);
  // Records lie in insertion order: removing the oldest empties whole chunks.
  erase_range(store, 0, 95000);
  EXPECT_LT(pool_bytes(store), full / 3);
  check_invariants(store);
  // The emptied tables keep their bucket arrays, and each size of node one
  // empty chunk, the smallest.
  erase_range(store, 95000, 100000);
  EXPECT_LT(pool_bytes(store), full / 100);
  // Replacing the store (as clearing it does) frees them too.
  const Pooled::allocator_type former = store.get_allocator();
  store = Pooled();
  EXPECT_EQ(former.pool()->chunk_bytes(), 0u);
}

TEST(PooledStore, SmallStoresTakeNoChunks) {
  Pooled store;
  store.insert("a", {"x", "y"});
  EXPECT_EQ(pool_bytes(store), 0u);  // its few nodes come from operator new
  for (int i = 0; i < 1000; ++i) store.insert("k" + std::to_string(i), {"x"});
  EXPECT_GT(pool_bytes(store), 0u);
  // The first nodes, served directly, are told apart from the pool's when freed.
  erase_range(store, 0, 1000);
  store.insert("b", {"z"});
  const std::string a = "a";
  store.erase(&a);
  EXPECT_EQ(as_model(store), (Model{{"b", {"z"}}}));
  check_invariants(store);
}

TEST(PooledStore, CompactsOnlyOnceSparse) {
  Pooled store;
  Model kept;
  for (int i = 0; i < 100000; ++i) {
    const std::string key = "k" + std::to_string(i);
    const std::set<std::string> tags{"t" + std::to_string(i % 50), "all"};
    store.insert(key, {tags.begin(), tags.end()});
    if (i % 100 == 0) kept[key] = tags;
  }
  EXPECT_FALSE(vornic::compact_if_sparse(store));  // full: nothing to gain
  const std::size_t full = pool_bytes(store);
  // Scattered removals empty no chunk: every chunk keeps a few survivors.
  for (int i = 0; i < 100000; ++i) {
    const std::string key = "k" + std::to_string(i);
    if (i % 100 != 0) store.erase(&key);
  }
  EXPECT_GT(pool_bytes(store), full / 2);
  EXPECT_TRUE(vornic::compact_if_sparse(store));
  EXPECT_LT(pool_bytes(store), full / 20);
  EXPECT_EQ(as_model(store), kept);
  check_invariants(store);
  // Paid for by the removals: a fresh pool is not moved again at once.
  EXPECT_FALSE(vornic::compact_if_sparse(store));
}

/// How many times compact_if_sparse moved `store` while `change` ran on
/// each of `rounds`, the check following every change as in the binding.
template <class Change>
int moves_over(Pooled& store, int rounds, Change change) {
  int moves = 0;
  for (int i = 0; i < rounds; ++i) {
    change(i);
    moves += vornic::compact_if_sparse(store) ? 1 : 0;
  }
  return moves;
}

std::set<std::string> tags_of(int i, int count) {
  std::set<std::string> tags;
  for (int t = 0; t < count; ++t) tags.insert("tag-" + std::to_string((i * 7 + t * 13) % 40));
  return tags;
}

TEST(PooledStore, SmallStoresShrunkGiveTheirChunksBack) {
  for (int size : {100, 1000, 3000}) {
    Pooled store;
    for (int i = 0; i < size; ++i) {
      const std::set<std::string> tags = tags_of(i, 5);
      store.insert("k" + std::to_string(i), {tags.begin(), tags.end()});
    }
    ASSERT_GT(pool_bytes(store), 0u);
    const int moves = moves_over(store, size - 1, [&](int i) { erase_range(store, i, i + 1); });
    // Geometric: each move takes what is left into a pool a quarter the size or less.
    EXPECT_GE(moves, 1) << size;
    EXPECT_LE(moves, 8) << size;
    EXPECT_EQ(pool_bytes(store), 0u) << size << ": one entry fits among the first blocks";
    const std::set<std::string> last = tags_of(size - 1, 5);
    EXPECT_EQ(as_model(store), (Model{{"k" + std::to_string(size - 1), last}}));
    check_invariants(store);
  }
}

TEST(PooledStore, StoresOfSteadySizeAreNotMoved) {
  // Replacing tags again and again frees as many nodes as it takes, but the
  // chunks stay as full as a fresh pool's would be: no move pays off.
  for (int size : {8, 100, 5000}) {
    Pooled store;
    for (int i = 0; i < size; ++i) {
      const std::set<std::string> tags = tags_of(i, 1 + i % 9);
      store.insert("k" + std::to_string(i), {tags.begin(), tags.end()});
    }
    const int moves = moves_over(store, 20 * size, [&](int round) {
      const int i = round % size;
      const std::set<std::string> tags = tags_of(i + round, 1 + i % 9);
      store.insert("k" + std::to_string(i), {tags.begin(), tags.end()});
    });
    EXPECT_EQ(moves, 0) << size;
    check_invariants(store);
  }
}

/// Blocks taken from and given back to a pool, counted as the pool counts
/// them: live (served directly or from chunks), and freed into chunks.
/// What is left is given back at the end.
struct counted_pool {
  vornic::node_pool pool;
  std::map<void*, std::size_t> held;
  std::size_t freed = 0;

  counted_pool(const counted_pool&) = delete;
  counted_pool& operator=(const counted_pool&) = delete;
  counted_pool() = default;
  ~counted_pool() {
    for (const auto& [block, bytes] : held) pool.deallocate(block, bytes, 8);
  }

  void* take(std::size_t bytes) {
    void* block = pool.allocate(bytes, 8);
    held[block] = bytes;
    return block;
  }
  void give(void* block) {
    pool.deallocate(block, held.at(block), 8);
    held.erase(block);
    ++freed;  // only blocks from chunks are given back in these tests
  }
  std::size_t live() const { return held.size(); }
  double ratio() const { return double(pool.chunk_bytes()) / double(pool.block_bytes()); }
};

TEST(NodePool, SparseOnceChunksHoldOverFourTimesTheirBlocks) {
  counted_pool p;
  for (int i = 0; i < 64; ++i) p.take(8);  // the first blocks, served directly, kept
  std::vector<void*> blocks;
  for (int i = 0; i < 40000; ++i) blocks.push_back(p.take(64));
  // Seven blocks of every eight freed, spread evenly: no chunk empties, and
  // the chunks come to hold about eight times what their blocks need.
  double before = p.ratio();
  bool flipped = false;
  for (int pass = 1; pass < 8 && !flipped; ++pass) {
    for (std::size_t i = pass; i < blocks.size() && !flipped; i += 8) {
      p.give(blocks[i]);
      if (p.pool.sparse()) {
        flipped = true;
        EXPECT_GE(p.freed, p.live());
        EXPECT_GT(p.ratio(), 4.0);
        EXPECT_LT(p.ratio(), 4.05) << "sparse only well past four times";
        EXPECT_LE(before, 4.01) << "not sparse although past four times";
      }
      before = p.ratio();
    }
  }
  EXPECT_TRUE(flipped) << "never sparse, up to " << p.ratio() << " times";
}

TEST(NodePool, SparseOnlyOnceFreesOutnumberLiveBlocks) {
  counted_pool p;
  std::vector<void*> small;
  for (int i = 0; i < 64; ++i) p.take(8);  // the first blocks, served directly, kept
  for (int i = 0; i < 100000; ++i) small.push_back(p.take(8));
  std::vector<void*> large;
  for (int i = 0; i < 30000; ++i) large.push_back(p.take(512));
  for (std::size_t i = 0; i < large.size(); ++i) {
    if (i % 1000 != 0) p.give(large[i]);
  }
  // The chunks of large blocks, each kept by a few, now hold many times what
  // the blocks need; but fewer were freed than remain.
  ASSERT_GT(p.ratio(), 8.0);
  ASSERT_LT(p.freed, p.live());
  EXPECT_FALSE(p.pool.sparse()) << p.freed << " freed, " << p.live() << " live";
  while (p.freed < p.live()) {
    p.give(small.back());
    small.pop_back();
    ASSERT_EQ(p.pool.sparse(), p.freed >= p.live()) << p.freed << " freed, " << p.live() << " live";
  }
}

TEST(PooledStore, CopiesInTagSetsOfOtherAllocators) {
  Pooled store;
  Pooled::tag_set outside{"x", "y"};  // default-constructed: from operator new
  ASSERT_NE(outside.get_allocator(), store.get_allocator());
  store.insert("a", std::move(outside));
  store.insert("b", Pooled::tag_set{"y"});
  const Pooled::tag_set copied = store.objecttable.at("b").tags;
  store.insert("c", copied);
  Pooled::object_type& a = store.objecttable.at("a");
  a.tags = copied;  // assignment keeps the record's allocator
  for (const auto& entry : store.objecttable) {
    EXPECT_EQ(entry.second.tags.get_allocator(), store.get_allocator());
  }
  EXPECT_NE(copied.get_allocator(), store.get_allocator());
  store.insert("a", {"x"});
  EXPECT_EQ(as_model(store), (Model{{"a", {"x"}}, {"b", {"y"}}, {"c", {"y"}}}));
  check_invariants(store);
}

TEST(PooledStore, ErasedRecordOutlivesTheStore) {
  const Pooled::object_type removed = [] {
    Pooled store;
    store.insert("a", {"x", "y"});
    return store.erase(&store.objecttable.at("a"));
  }();
  EXPECT_EQ(removed.tags, (Pooled::tag_set{"x", "y"}));
}

struct Stopped {};

TEST(PooledStore, InsertStoppedByItsCheckChangesNothing) {
  Pooled store;
  store.insert("a", {"t1", "t2"});
  store.insert("b", {"t2"});
  const Model before = as_model(store);
  for (const std::string key : {"a", "new"}) {
    for (int stop_at : {1, 2, 50}) {
      Pooled::tag_set tags(store.get_allocator());
      for (int i = 0; i < 50; ++i) tags.insert("t" + std::to_string(i));
      const Pooled::tag_set given = tags;
      int calls = 0;
      EXPECT_THROW(store.insert(key, std::move(tags), [&] {
        if (++calls == stop_at) throw Stopped();
      }), Stopped);
      EXPECT_EQ(as_model(store), before) << key << " stopped at " << stop_at;
      EXPECT_EQ(tags, given);
      check_invariants(store);
    }
  }
  int calls = 0;
  store.insert("a", {"t3"});
  store.insert("a", Pooled::tag_set({"t4", "t5"}, store.get_allocator()), [&] { ++calls; });
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(as_model(store), (Model{{"a", {"t4", "t5"}}, {"b", {"t2"}}}));
}

// Every prefix of a snapshot, each in a buffer of its own size so that the
// sanitizers see a read past its end, is refused; the whole reads back.
TEST(PooledStore, SnapshotReadsBackAndRefusesEveryPrefix) {
  Pooled store;
  store.insert("a", {"t1", "t2", std::string(200, 'l')});
  store.insert(std::string(300, 'k'), {"t2"});
  store.insert("", {""});
  vornic::snapshot::writer<Pooled> writer(store);
  std::vector<unsigned char> bytes(writer.bound());
  bytes.resize(writer.write(bytes.data(), [] {}));
  const Pooled back = vornic::snapshot::read<Pooled>(bytes.data(), bytes.size(), [] {});
  check_invariants(back);
  EXPECT_EQ(as_model(back), as_model(store));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::vector<unsigned char> prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(i));
    EXPECT_THROW(vornic::snapshot::read<Pooled>(prefix.data(), prefix.size(), [] {}), vornic::snapshot::format_error)
        << i;
  }
}


// Reading inserts keys and postings in the order of their buckets, which
// only differs from the order written once a table spans several blocks.
TEST(PooledStore, SnapshotLargerThanABlockOfBucketsReadsBack) {
  Pooled store;
  for (unsigned i = 0; i < 150000; ++i) store.insert("k" + std::to_string(i), {"all", "m" + std::to_string(i % 7)});
  vornic::snapshot::writer<Pooled> writer(store);
  std::vector<unsigned char> bytes(writer.bound());
  bytes.resize(writer.write(bytes.data(), [] {}));
  const Pooled back = vornic::snapshot::read<Pooled>(bytes.data(), bytes.size(), [] {});
  ASSERT_GE(vornic::snapshot::blocks_of(back.objecttable), vornic::snapshot::min_blocks);
  ASSERT_GE(vornic::snapshot::blocks_of(back.tagindex.at("all")), vornic::snapshot::min_blocks);
  check_invariants(back);
  EXPECT_EQ(as_model(back), as_model(store));
}

TEST(SnapshotRead, ByBlockSortsInPlaceByBlock) {
  std::mt19937 rng(7);
  for (const std::size_t blocks : {1u, 2u, 5u, 300u}) {
    for (const std::size_t n : {0u, 1u, 2u, 1000u}) {
      std::vector<unsigned> items(n);
      for (unsigned& item : items) item = static_cast<unsigned>(rng() % (blocks * 10));
      std::vector<unsigned> sorted = items;
      std::size_t checks = 0;
      vornic::snapshot::by_block(items.data(), n, blocks, [](unsigned item) { return item / 10; },
                                 [&checks] { ++checks; });
      EXPECT_TRUE(std::is_sorted(items.begin(), items.end(), [](unsigned a, unsigned b) { return a / 10 < b / 10; }));
      std::sort(sorted.begin(), sorted.end());
      std::vector<unsigned> now = items;
      std::sort(now.begin(), now.end());
      EXPECT_EQ(now, sorted) << blocks << " blocks, " << n << " items";
      if (blocks > 1) {
        EXPECT_GE(checks, n);
      }
    }
  }
}

}  // namespace

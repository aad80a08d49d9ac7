// Running out of memory inside insert or erase: a global operator new that
// fails the n-th allocation, swept over every allocation of each operation,
// under the default allocator and under a pool, whose chunks come from
// operator new too; and an mmap that fails, for the pool's largest chunks,
// which it maps itself. A binary of its own, since it replaces both for the
// whole program.
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "invariants.hpp"
#include "snapshot.hpp"

namespace {

std::size_t allocations = 0;  // counted while armed
std::size_t fail_at = 0;      // the allocation to refuse, counting from 1
bool armed = false;
std::ptrdiff_t live = 0;  // blocks from operator new not deleted yet

/// A block from malloc, or null for the injected failure (and a real one).
void* allocate(std::size_t size) noexcept {
  if (armed && ++allocations == fail_at) return nullptr;
  ++live;
  return std::malloc(size == 0 ? 1 : size);
}

void release(void* p) noexcept {
  if (p != nullptr) --live;
  std::free(p);
}

/// The same for an over-aligned block: the pool's largest chunks.
void* allocate_aligned(std::size_t size, std::align_val_t align) noexcept {
  if (armed && ++allocations == fail_at) return nullptr;
  const auto alignment = static_cast<std::size_t>(align);
  return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}

bool maps_fail = false;  // every mmap of the program fails while set
long long pages_mapped = 0;  // by mmap, less those given back by munmap

long long pages_of(std::size_t length) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return static_cast<long long>((length + page - 1) / page);
}

}  // namespace

extern "C" void* mmap(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset) noexcept {
  using mmap_fn = void* (*)(void*, std::size_t, int, int, int, off_t);
  static const auto next = reinterpret_cast<mmap_fn>(dlsym(RTLD_NEXT, "mmap"));
  if (maps_fail) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  void* region = next(addr, length, prot, flags, fd, offset);
  if (region != MAP_FAILED) pages_mapped += pages_of(length);
  return region;
}

extern "C" int munmap(void* addr, std::size_t length) noexcept {
  using munmap_fn = int (*)(void*, std::size_t);
  static const auto next = reinterpret_cast<munmap_fn>(dlsym(RTLD_NEXT, "munmap"));
  const int done = next(addr, length);
  if (done == 0) pages_mapped -= pages_of(length);
  return done;
}

// Once inlined, GCC sees a block from malloc reach operator delete, which it
// takes for a mismatch; here the pairing is the point.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (void* p = allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void* operator new(std::size_t size, std::align_val_t align) {
  if (void* p = allocate_aligned(size, align)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using vornic_test::as_model;
using vornic_test::check_invariants;
using Model = std::map<std::string, std::set<std::string>>;

// Long enough that every copy of a key or tag allocates.
std::string key(int i) { return "key-number-" + std::to_string(i) + "-of-the-store"; }
std::string tag(int i) { return "tag-number-" + std::to_string(i) + "-of-the-store"; }

template <class Store>
Store build(const Model& model) {
  Store store;
  for (const auto& [k, tags] : model) store.insert(k, {tags.begin(), tags.end()});
  return store;
}

/// Whether the next new key makes the key table grow. Bucket counts follow
/// the standard library, not the allocator.
bool key_table_full(const Model& model) {
  const auto store = build<vornic::Vornic<std::string, std::string>>(model);
  return store.objecttable.size() >= store.objecttable.bucket_count() * store.objecttable.max_load_factor();
}

/// Seven tags, and thirteen keys or as many more as it takes to fill the key
/// table's buckets: the standard libraries grow their tables differently.
Model base_model() {
  static const Model model = [] {
    Model m{{key(0), {tag(0), tag(1), tag(2)}},
            {key(1), {tag(1), tag(2), tag(3), tag(6)}},
            {key(2), {tag(2), tag(4)}},
            {key(3), {tag(3)}},
            {key(4), {tag(0), tag(5)}}};
    for (int i = 5; i < 13 || !key_table_full(m); ++i) m[key(i)] = {tag(5)};
    return m;
  }();
  return model;
}

std::set<std::string> new_key_tags() {
  std::set<std::string> tags{tag(2)};
  for (int i = 7; i < 14; ++i) tags.insert(tag(i));
  return tags;
}

template <class Store>
struct Case {
  const char* name;
  void (*op)(Store&);
  Model after;
};

Model with(Model model, const std::string& k, const std::set<std::string>& tags) {
  if (tags.empty()) {
    model.erase(k);
  } else {
    model[k] = tags;
  }
  return model;
}

template <class Store>
std::vector<Case<Store>> cases() {
  using Record = typename Store::object_type;
  using Tags = typename Store::tag_set;
  const Model base = base_model();
  return {
      // A key above the fillers, a tag in use and enough new ones to grow
      // tagindex; the set is copied.
      {"insert a new key",
       [](Store& s) {
         const std::set<std::string> chosen = new_key_tags();
         const Tags tags(chosen.begin(), chosen.end());
         s.insert(key(1000), tags);
       },
       with(base, key(1000), new_key_tags())},
      // Adds tags in use and a new one, drops shared tags and one only it
      // carries; the set is handed over.
      {"insert a present key",
       [](Store& s) { s.insert(key(1), Tags{tag(0), tag(2), tag(4), tag(9)}); },
       with(base, key(1), {tag(0), tag(2), tag(4), tag(9)})},
      {"insert an empty set", [](Store& s) { s.insert(key(1), {}); }, with(base, key(1), {})},
      {"erase by record",
       [](Store& s) {
         const Record probe(key(1), {});
         s.erase(&probe);
       },
       with(base, key(1), {})},
      {"erase by key",
       [](Store& s) {
         const std::string k = key(4);
         s.erase(&k);
       },
       with(base, key(4), {})},
  };
}

template <class Store>
std::map<std::string, const void*> addresses(const Store& store) {
  std::map<std::string, const void*> result;
  for (const auto& [k, record] : store.objecttable) result.emplace(k, &record);
  return result;
}

/// Runs `op` on a fresh store with the n-th allocation refused; returns
/// whether it threw. Checks the store either way.
template <class Store>
bool run_failing(const Case<Store>& c, std::size_t n) {
  Store store = build<Store>(base_model());
  if constexpr (!std::is_same_v<typename Store::allocator_type, std::allocator<std::string>>) {
    EXPECT_GT(store.get_allocator().pool()->chunk_bytes(), 0u) << "the sweep should reach the pool's chunks";
  }
  const auto before = addresses(store);
  allocations = 0;
  fail_at = n;
  armed = true;
  bool threw = false;
  try {
    c.op(store);
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  armed = false;
  check_invariants(store);
  if (threw) {
    EXPECT_EQ(as_model(store), base_model());
    EXPECT_EQ(addresses(store), before);
  } else {
    EXPECT_EQ(as_model(store), c.after);
  }
  return threw;
}

template <class Store>
class AllocationFailure : public testing::Test {};
using Stores = testing::Types<vornic::Vornic<std::string, std::string>,
                              vornic_test::PooledStore<std::string, std::string>>;
TYPED_TEST_SUITE(AllocationFailure, Stores);

TYPED_TEST(AllocationFailure, LeavesTheStoreAsItWas) {
  using Store = TypeParam;
  // The sweep crosses a growth of both tables, after which a rollback leaves
  // the larger bucket arrays in place.
  Store grown = build<Store>(base_model());
  const auto buckets = std::make_pair(grown.objecttable.bucket_count(), grown.tagindex.bucket_count());
  cases<Store>().front().op(grown);
  ASSERT_GT(grown.objecttable.bucket_count(), buckets.first);
  ASSERT_GT(grown.tagindex.bucket_count(), buckets.second);

  std::size_t injected = 0;
  for (const Case<Store>& c : cases<Store>()) {
    std::size_t n = 1;
    while (run_failing(c, n)) {
      ASSERT_FALSE(testing::Test::HasFailure()) << c.name << ", allocation " << n;
      ++n;
    }
    ASSERT_FALSE(testing::Test::HasFailure()) << c.name << " without a failure";
    std::printf("%s: %zu allocations, each refused in turn\n", c.name, n - 1);
    injected += n - 1;
  }
  std::printf("%zu injected failures in all\n", injected);
}

TYPED_TEST(AllocationFailure, SnapshotReadThatRunsOutKeepsNothing) {
  using Store = TypeParam;
  const Store source = build<Store>(base_model());
  vornic::snapshot::writer<Store> writer(source);
  std::vector<unsigned char> bytes(writer.bound());
  bytes.resize(writer.write(bytes.data(), [] {}));
  std::size_t n = 1;
  for (bool failed = true; failed; ++n) {
    const std::ptrdiff_t before = live;
    allocations = 0;
    fail_at = n;
    armed = true;
    try {
      const Store read = vornic::snapshot::read<Store>(bytes.data(), bytes.size(), [] {});
      armed = false;
      failed = false;
      check_invariants(read);
      EXPECT_EQ(as_model(read), base_model());
    } catch (const std::bad_alloc&) {
      armed = false;
    }
    EXPECT_EQ(live, before) << "allocation " << n;
    ASSERT_FALSE(testing::Test::HasFailure()) << "allocation " << n;
  }
  std::printf("snapshot read: %zu allocations, each refused in turn\n", n - 2);
}

using Pooled = vornic_test::PooledStore<std::string, std::string>;

#if defined(__linux__)
TEST(PooledAllocationFailure, RefusedMappingLeavesTheStoreAsItWas) {
  Pooled store;
  Model model;
  maps_fail = true;
  bool threw = false;
  for (int i = 0; i < 200000 && !threw; ++i) {
    try {
      store.insert(key(i), {tag(i % 7), tag(i % 11)});
      model[key(i)] = {tag(i % 7), tag(i % 11)};
    } catch (const std::bad_alloc&) {
      threw = true;
    }
  }
  maps_fail = false;
  ASSERT_TRUE(threw) << "no chunk or table grew past the size the pool maps";
  check_invariants(store);
  EXPECT_EQ(as_model(store), model);
  store.insert(key(-1), {tag(0)});  // the pages come once mapping works again
  model[key(-1)] = {tag(0)};
  EXPECT_EQ(as_model(store), model);
}
#endif

#if defined(VORNIC_POOL_MAPS_PAGES)
TEST(PooledPages, EveryPageMappedGoesBack) {
  // Chunks of 2 MiB and blocks of odd sizes beyond it, mapped and freed
  // again and again: a page unmapped short of its mapping would pile up.
  const long long before = pages_mapped;
  for (int cycle = 0; cycle < 4; ++cycle) {
    {
      vornic::node_pool pool;
      std::vector<std::pair<void*, std::size_t>> blocks;
      for (int i = 0; i < 150000; ++i) blocks.emplace_back(pool.allocate(48, 8), 48);
      const std::size_t mib = std::size_t{1} << 20;
      for (std::size_t bytes : {2 * mib, 3 * mib, 5 * mib + 12345}) {
        blocks.emplace_back(pool.allocate(bytes, 8), bytes);
      }
      EXPECT_GE(pages_mapped - before, pages_of(12 * mib)) << "the large chunks and blocks are mapped";
      // The chunks of one size in the middle go first, while others still hold blocks.
      for (std::size_t i = 40000; i < blocks.size(); ++i) {
        pool.deallocate(blocks[i].first, blocks[i].second, 8);
      }
      blocks.resize(40000);
      for (const auto& [block, bytes] : blocks) pool.deallocate(block, bytes, 8);
    }
    EXPECT_EQ(pages_mapped, before) << "pages mapped and not given back after cycle " << cycle;
  }
}
#endif

TEST(PooledAllocationFailure, CompactionThatRunsOutLeavesTheStoreAsItWas) {
  // Large enough to move into fresh chunks, and small enough that the nodes
  // left move to the first blocks, served directly.
  for (int size : {12000, 150}) {
    Model kept;
    for (int i = 0; i < size; i += 50) kept[key(i)] = {tag(i % 7), tag(i % 11)};
    std::size_t n = 1;
    for (bool failed = true; failed; n = n < 64 ? n + 1 : n * 2) {
      Pooled store;
      for (int i = 0; i < size; ++i) store.insert(key(i), {tag(i % 7), tag(i % 11)});
      for (int i = 0; i < size; ++i) {
        const std::string k = key(i);
        if (i % 50 != 0) store.erase(&k);
      }
      const auto before = addresses(store);
      allocations = 0;
      fail_at = n;
      armed = true;
      const bool moved = vornic::compact_if_sparse(store);
      armed = false;
      failed = allocations >= n;
      EXPECT_EQ(moved, !failed) << size << " entries, allocation " << n;
      check_invariants(store);
      EXPECT_EQ(as_model(store), kept);
      if (failed) {
        EXPECT_EQ(addresses(store), before) << size << " entries, allocation " << n;
      }
      ASSERT_FALSE(testing::Test::HasFailure()) << size << " entries, allocation " << n;
    }
    std::printf("%d entries: compaction refused at allocations 1 to 64, then doubling, up to %zu\n", size, n);
  }
}

}  // namespace

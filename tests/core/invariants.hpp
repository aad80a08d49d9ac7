// Test-only structural checks of a store: both tables must describe the same entries.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_set>

#include "node_pool.hpp"
#include "vornic.hpp"

namespace vornic_test {

/// The store drawing from a pool of its own, as the binding instantiates it.
template <class K, class V>
using PooledStore = vornic::Vornic<K, V, std::hash<K>, std::hash<V>, vornic::pool_allocator<V>>;

template <class Store>
using record_set = std::unordered_set<const typename Store::object_type*>;

/// Invariants 1 to 3; returns the addresses of the stored records.
template <class Store>
record_set<Store> check_records(const Store& store) {
  using V = typename decltype(store.tagindex)::key_type;
  record_set<Store> stored;
  for (const auto& [key, record] : store.objecttable) {
    stored.insert(&record);
    const std::string name = testing::PrintToString(key);
    EXPECT_EQ(record.data, key) << "invariant 1: record data differs from its table key " << name;
    EXPECT_FALSE(record.tags.empty()) << "invariant 2: " << name << " is stored without tags";
    for (const V& tag : record.tags) {
      auto found = store.tagindex.find(tag);
      // Posting sets hold non-const pointers; the lookup does not modify anything.
      auto* address = const_cast<typename Store::object_type*>(&record);
      if (found == store.tagindex.end() || found->second.count(address) == 0) {
        ADD_FAILURE() << "invariant 3: " << name << " missing from the postings of "
                      << testing::PrintToString(tag);
      }
    }
  }
  return stored;
}

/// Invariants 4 and 5. With 3 and 4 holding, non-empty posting sets make the
/// tagindex keys exactly the union of the stored tag sets.
template <class Store>
void check_postings(const Store& store, const record_set<Store>& stored) {
  for (const auto& [tag, postings] : store.tagindex) {
    const std::string name = testing::PrintToString(tag);
    EXPECT_FALSE(postings.empty()) << "invariant 5: empty posting set for " << name;
    for (const auto* record : postings) {
      if (stored.count(record) == 0) {
        ADD_FAILURE() << "invariant 4: " << name << " indexes an address that is not a stored record";
      } else if (record->tags.count(tag) == 0) {
        ADD_FAILURE() << "invariant 4: " << name << " indexes " << testing::PrintToString(record->data)
                      << " which does not carry it";
      }
    }
  }
}

/// The totals a pool keeps, against what its chunks really hold.
template <class Store>
void check_pool(const Store& store) {
  using Alloc = typename Store::allocator_type;
  if constexpr (std::is_same_v<Alloc, vornic::pool_allocator<typename Alloc::value_type>>) {
    const vornic::node_pool* pool = store.get_allocator().pool();
    if (pool == nullptr) return;
    const vornic::node_pool::audit_totals held = pool->audit();
    EXPECT_EQ(pool->chunk_bytes(), held.chunk_bytes) << "the pool's total of chunk bytes";
    EXPECT_EQ(pool->block_bytes(), held.block_bytes) << "the pool's total of block bytes";
  }
}

template <class Store>
void check_invariants(const Store& store) {
  check_postings(store, check_records(store));
  check_pool(store);
}

/// The store's contents in an ordered, comparable form.
template <class Store>
auto as_model(const Store& store) {
  using K = typename decltype(store.objecttable)::key_type;
  using V = typename decltype(store.tagindex)::key_type;
  std::map<K, std::set<V>> model;
  for (const auto& [key, record] : store.objecttable)
    model[key].insert(record.tags.begin(), record.tags.end());
  return model;
}

}  // namespace vornic_test

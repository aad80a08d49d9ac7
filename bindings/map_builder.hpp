// MapBuilder: a new map built from (key, tags) pairs, the constructors' store.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "map_type.hpp"
#include "signals.hpp"

namespace vornic::py_binding {

namespace py = pybind11;

/// Gives back the buckets of a table that holds far fewer elements than it
/// has room for; keeps them when memory for fewer runs out.
template <class Table>
void shrink_if_sparse(Table& table) noexcept {
  if (table.size() * 4 >= table.bucket_count()) return;
  try {
    table.rehash(0);
  } catch (const std::bad_alloc&) {
  }
}

/// Builds a new map from (key, tags) pairs read one at a time, keeping no
/// converted input beyond the pair in hand, so that memory follows the map,
/// not the input: a later pair for a key replaces the earlier one at once.
/// Records are stored first and indexed once all are in, so that each posting
/// set is sized once, for the records that carry its tag in the end; grown
/// record by record it would rehash all its records at every doubling.
/// Looks at signals every few thousand steps. On any exception the builder
/// and all it holds are simply destroyed, and nothing is handed over.
class MapBuilder {
 public:
  /// `expected`: how many pairs the input holds, when its storage says so.
  explicit MapBuilder(size_t expected) : expected_(expected) {}

  void store(std::string&& key, TagSet&& tags) {
    tick();
    reserve_after_probe();
    if (tags.empty()) {
      if (map_.objecttable.erase(key) != 0) forget_order();
      return;
    }
    auto placed = map_.objecttable.try_emplace(std::move(key), map_.get_allocator());
    Record& record = placed.first->second;
    if (placed.second) {
      record.data = placed.first->first;
      if (!order_lost_) order_.push_back(&record);
    }
    record.tags = std::move(tags);
  }

  /// The allocator of the map being built: tag sets converted under it are
  /// taken over without a copy.
  Allocator allocator() const { return map_.get_allocator(); }

  Map finish() {
    shrink_if_sparse(map_.objecttable);
    size_posting_sets();
    for_each_record([this](Record& record) {
      for (const std::string& tag : record.tags) {
        tick();
        map_.tagindex.find(tag)->second.insert(&record);
      }
    });
    return std::move(map_);
  }

 private:
  /// Pairs read before the input's length is used to size the table: until
  /// then it grows as keys come, so a long run of one key reserves nothing.
  static constexpr size_t sizing_probe = size_t{1} << 16;

  /// One step of the build: a pair stored, a record reached, a tag counted
  /// or indexed (one record may carry millions).
  void tick() {
    if (++steps_ % signal_interval == 0) check_signals();
  }

  /// After the first pairs, room for the input's length times the share of
  /// them that brought a new key.
  void reserve_after_probe() {
    if (++pairs_ != sizing_probe || expected_ <= sizing_probe) return;
    double distinct = static_cast<double>(map_.objecttable.size()) / static_cast<double>(sizing_probe);
    size_t room = static_cast<size_t>(static_cast<double>(expected_) * distinct);
    map_.objecttable.reserve(room);
    if (!order_lost_) order_.reserve(room);
  }

  /// A record was removed, so order_ may hold its address: stop keeping it.
  void forget_order() {
    order_lost_ = true;
    std::vector<Record*>().swap(order_);
  }

  /// Calls fn(record) for every stored record: in the order they were
  /// stored, which is the order of their memory and so spares a cache miss
  /// per record and tag, else in table order.
  template <class F>
  void for_each_record(F&& fn) {
    if (!order_lost_) {
      for (Record* record : order_) {
        tick();
        fn(*record);
      }
      return;
    }
    for (auto& entry : map_.objecttable) {
      tick();
      fn(entry.second);
    }
  }

  /// Creates the posting set of every stored tag, with room for exactly the
  /// records that carry it.
  void size_posting_sets() {
    std::unordered_map<Map::posting_set*, size_t> carriers;
    const Map::posting_set::allocator_type postings_alloc(map_.get_allocator());
    for_each_record([this, &carriers, &postings_alloc](const Record& record) {
      for (const std::string& tag : record.tags) {
        tick();
        ++carriers[&map_.tagindex.try_emplace(tag, postings_alloc).first->second];
      }
    });
    for (const auto& [postings, count] : carriers) postings->reserve(count);
  }

  Map map_;
  /// The address of every record stored, in order, until one is removed.
  std::vector<Record*> order_;
  bool order_lost_ = false;
  size_t expected_;
  size_t pairs_ = 0;
  size_t steps_ = 0;
};

}  // namespace vornic::py_binding

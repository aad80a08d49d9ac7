// Finding the records that answer a query, as a list of their addresses.
//
// Records were allocated in build order, so reading them in address order
// walks memory forwards instead of jumping about: every list handed out here
// is sorted by address. Sorting also lets the any-of search drop the records
// met in more than one posting set by comparing neighbours, rather than by a
// hash lookup per record into the other posting sets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "convert.hpp"

namespace vornic::py_binding {

using RecordList = std::vector<const Record*>;

/// Below this length a comparison sort beats the passes of the radix sort.
constexpr size_t min_radix_sorted = 256;

/// Sorts `records` by address: a least-significant-digit radix sort over the
/// address bits that differ, 11 bits a pass (the counts stay in L1 cache).
inline void sort_by_address(RecordList& records) {
  if (records.size() < min_radix_sorted) {
    std::sort(records.begin(), records.end(), std::less<const Record*>());
    return;
  }
  auto address = [](const Record* r) { return reinterpret_cast<std::uintptr_t>(r); };
  auto [lo, hi] = std::minmax_element(records.begin(), records.end(), std::less<const Record*>());
  const std::uintptr_t base = address(*lo);
  const std::uintptr_t span = address(*hi) - base;
  constexpr unsigned bits = 11;
  constexpr std::uintptr_t mask = (std::uintptr_t{1} << bits) - 1;
  RecordList spare(records.size());
  std::vector<size_t> starts(mask + 1);
  for (unsigned shift = 0; shift < std::numeric_limits<std::uintptr_t>::digits && (span >> shift) != 0;
       shift += bits) {
    auto digit = [&](const Record* r) { return ((address(r) - base) >> shift) & mask; };
    std::fill(starts.begin(), starts.end(), 0);
    for (const Record* r : records) ++starts[digit(r)];
    size_t sum = 0;
    for (size_t& start : starts) sum += std::exchange(start, sum);
    for (const Record* r : records) spare[starts[digit(r)]++] = r;
    records.swap(spare);
  }
}

/// Appends the addresses in `postings` to `out`.
inline void append_postings(const Map::posting_set& postings, RecordList& out) {
  Map::for_each_posting(postings, [&out](const Record* r) { out.push_back(r); });
}

/// The records carrying all of `tags`, by address; none for an empty query.
inline RecordList all_of_matches(const Map& map, const TagSet& tags) {
  RecordList matches;
  size_t most = 0;  // the size of the smallest posting set bounds the answer
  for (const std::string& tag : tags) {
    auto found = map.tagindex.find(tag);
    if (found == map.tagindex.end()) return matches;
    most = most == 0 ? found->second.size() : std::min(most, found->second.size());
  }
  matches.reserve(most);
  map.for_each_match(tags, [&matches](const Record* r) { matches.push_back(r); });
  sort_by_address(matches);
  return matches;
}

/// The records carrying at least one of `tags`, once each, by address: the
/// posting sets of the tags in use are gathered whole, sorted, and repeats
/// (records holding several of the tags) dropped.
inline RecordList any_of_matches(const Map& map, const TagSet& tags) {
  std::vector<const Map::posting_set*> sets;
  size_t total = 0;
  for (const std::string& tag : tags) {
    auto found = map.tagindex.find(tag);
    if (found == map.tagindex.end()) continue;
    sets.push_back(&found->second);
    total += found->second.size();
  }
  RecordList matches;
  matches.reserve(total);
  for (const Map::posting_set* postings : sets) append_postings(*postings, matches);
  sort_by_address(matches);
  if (sets.size() > 1) matches.erase(std::unique(matches.begin(), matches.end()), matches.end());
  return matches;
}

/// Number of records carrying at least one of `tags`.
inline size_t count_any_of(const Map& map, const TagSet& tags) {
  size_t in_use = 0;
  size_t size = 0;
  for (const std::string& tag : tags) {
    auto found = map.tagindex.find(tag);
    if (found == map.tagindex.end()) continue;
    ++in_use;
    size = found->second.size();
  }
  // One posting set holds each of its records once: no search needed.
  return in_use == 1 ? size : any_of_matches(map, tags).size();
}

}  // namespace vornic::py_binding

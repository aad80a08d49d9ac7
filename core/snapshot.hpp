// A store's contents as one compact byte string, and the store rebuilt from
// it. Free of Python: the binding hands these bytes to pickle.
//
// The form, all counts and lengths as LEB128 varints:
//
//   version byte (1)
//   number of tags T, number of keys K
//   T tags: length, bytes                  most carried first, so that the
//                                          common ones take one-byte numbers
//   K keys: length, bytes, number of tags n >= 1,
//           n tag numbers, ascending:      the first as it is, each next one
//                                          as its distance from the one before,
//                                          less one
//
// and nothing after. Each tag's bytes are written once; a key names its tags
// by number.
//
// Reading trusts nothing: a first pass checks every length, count and tag
// number against the bytes that remain and counts each tag's keys, so that
// the second pass, which builds, sizes every table and posting set once and
// inserts without those checks. What the second pass alone can see, a key or
// tag written twice, it still refuses. It makes the records key by key, in
// the order of their buckets (by_block), and fills the posting sets tag by
// tag (index_by_tag), each in the order of its own buckets.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "vornic.hpp"

namespace vornic::snapshot {

constexpr unsigned char version = 1;

/// Bytes that are not a snapshot this build can read; what() says why.
struct format_error : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

/// Bytes of `v` as a varint.
inline std::size_t varint_size(std::uint64_t v) noexcept {
  std::size_t n = 1;
  for (; v >= 0x80; v >>= 7) ++n;
  return n;
}

inline unsigned char* put_varint(unsigned char* out, std::uint64_t v) noexcept {
  for (; v >= 0x80; v >>= 7) *out++ = static_cast<unsigned char>(v | 0x80);
  *out++ = static_cast<unsigned char>(v);
  return out;
}

/// Numbers a store's tags by how many keys carry each, most first, and finds
/// a tag's number without comparing more than the strings that hash alike.
template <class Store>
class tag_numbers {
 public:
  explicit tag_numbers(const Store& store) : hash_(store.tagindex.hash_function()) {
    order_.reserve(store.tagindex.size());
    for (const auto& entry : store.tagindex) order_.push_back(&entry);
    std::sort(order_.begin(), order_.end(),
              [](const entry_type* a, const entry_type* b) { return a->second.size() > b->second.size(); });
    std::size_t capacity = 8;
    while (capacity < 2 * order_.size()) capacity *= 2;
    slots_.assign(capacity, slot{});
    for (std::size_t i = 0; i < order_.size(); ++i) place(hash_(order_[i]->first), i);
  }

  std::size_t size() const noexcept { return order_.size(); }
  const std::string& tag(std::size_t number) const noexcept { return order_[number]->first; }
  std::size_t carriers(std::size_t number) const noexcept { return order_[number]->second.size(); }

  /// The number of `tag`, which must be one of the store's tags.
  std::uint64_t of(const std::string& tag) const {
    const std::size_t h = hash_(tag);
    for (std::size_t i = h & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
      const slot& s = slots_[i];
      if (s.hash == h && order_[s.number]->first == tag) return s.number;
    }
  }

 private:
  using entry_type = typename decltype(Store::tagindex)::value_type;
  using hasher = typename decltype(Store::tagindex)::hasher;
  struct slot {
    std::size_t hash = 0;
    std::size_t number = 0;
    bool used = false;
  };

  void place(std::size_t h, std::size_t number) noexcept {
    std::size_t i = h & (slots_.size() - 1);
    while (slots_[i].used) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = slot{h, number, true};
  }

  hasher hash_;
  std::vector<const entry_type*> order_;
  std::vector<slot> slots_;
};

/// Writes a store's snapshot. The caller sizes the output by bound() and
/// calls write() with the store unchanged since construction.
template <class Store>
class writer {
 public:
  explicit writer(const Store& store) : store_(store), numbers_(store) {}

  /// At least the bytes write() needs: each tag number counted at the
  /// largest number's size.
  std::size_t bound() const {
    const std::size_t widest = varint_size(numbers_.size());
    std::size_t bytes = 1 + varint_size(numbers_.size()) + varint_size(store_.objecttable.size());
    for (std::size_t i = 0; i < numbers_.size(); ++i) {
      const std::size_t size = numbers_.tag(i).size();
      bytes += varint_size(size) + size + widest * numbers_.carriers(i);
    }
    for (const auto& entry : store_.objecttable) {
      bytes += varint_size(entry.first.size()) + entry.first.size() + varint_size(entry.second.tags.size());
    }
    return bytes;
  }

  /// Writes the snapshot to `out`, which has room for bound() bytes, calling
  /// check() once per tag, per key and per tag of each key; returns the
  /// bytes written.
  template <class Check>
  std::size_t write(unsigned char* out, Check&& check) {
    unsigned char* p = out;
    *p++ = version;
    p = put_varint(p, numbers_.size());
    p = put_varint(p, store_.objecttable.size());
    for (std::size_t i = 0; i < numbers_.size(); ++i) {
      check();
      p = put_bytes(p, numbers_.tag(i));
    }
    for (const auto& entry : store_.objecttable) {
      check();
      p = put_bytes(p, entry.first);
      const auto& tags = entry.second.tags;
      p = put_varint(p, tags.size());
      picked_.clear();
      for (const std::string& tag : tags) {
        check();
        picked_.push_back(numbers_.of(tag));
      }
      std::sort(picked_.begin(), picked_.end());
      p = put_varint(p, picked_.front());
      for (std::size_t j = 1; j < picked_.size(); ++j) p = put_varint(p, picked_[j] - picked_[j - 1] - 1);
    }
    return static_cast<std::size_t>(p - out);
  }

 private:
  static unsigned char* put_bytes(unsigned char* p, const std::string& s) noexcept {
    p = put_varint(p, s.size());
    std::memcpy(p, s.data(), s.size());
    return p + s.size();
  }

  const Store& store_;
  tag_numbers<Store> numbers_;
  std::vector<std::uint64_t> picked_;
};

/// Reads what the writer wrote, from `data`'s `size` bytes.
class reader {
 public:
  reader(const unsigned char* data, std::size_t size) noexcept : p_(data), end_(data + size) {}

  std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - p_); }

  /// A varint no larger than `most`; `what` names it in the error.
  std::uint64_t count(std::uint64_t most, const char* what) {
    std::uint64_t v = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (p_ == end_) throw format_error(std::string("truncated: it ends inside ") + what);
      const unsigned char byte = *p_++;
      // The tenth byte holds the 64th bit alone, and ends the varint.
      if (shift == 63 && byte > 1) throw format_error(std::string(what) + " does not fit in 64 bits");
      v |= std::uint64_t{byte & 0x7fu} << shift;
      if ((byte & 0x80) == 0) break;
    }
    if (v > most) throw format_error(std::string(what) + " " + std::to_string(v) + " is out of range");
    return v;
  }

  /// Skips a string: its length, checked against what remains, and bytes.
  void skip_string(const char* what) {
    const std::uint64_t size = count(UINT64_MAX, what);
    if (size > remaining()) throw format_error(std::string("truncated: it ends inside ") + what);
    p_ += size;
  }

  // The same, unchecked, for bytes a first pass has checked.
  std::uint64_t varint() noexcept {
    std::uint64_t v = 0;
    for (unsigned shift = 0;; shift += 7) {
      const unsigned char byte = *p_++;
      v |= std::uint64_t{byte & 0x7fu} << shift;
      if ((byte & 0x80) == 0) return v;
    }
  }
  void skip_checked() noexcept { p_ += varint(); }
  /// Skips a key's tag numbers, checked.
  void skip_numbers() noexcept {
    for (std::uint64_t n = varint(); n > 0; --n) varint();
  }
  const unsigned char* position() const noexcept { return p_; }
  /// Goes back to a position() of this reader's bytes.
  void seek(const unsigned char* p) noexcept { p_ = p; }
  std::string string() {
    const std::size_t size = varint();
    const char* start = reinterpret_cast<const char*>(p_);
    p_ += size;
    return std::string(start, size);
  }

 private:
  const unsigned char* p_;
  const unsigned char* end_;
};

/// The sizes a checked snapshot declares, and how many keys carry each tag.
struct layout {
  std::size_t tags = 0;
  std::size_t keys = 0;
  std::vector<std::size_t> carriers;
};

/// Reads past the version byte and the two counts.
inline reader header(const unsigned char* data, std::size_t size, layout& out) {
  if (size == 0) throw format_error("empty");
  if (data[0] != version) {
    throw format_error("its version " + std::to_string(data[0]) + " is not one this build reads (" +
                       std::to_string(version) + ")");
  }
  reader in(data + 1, size - 1);
  // Every tag takes a byte at least, and every key three.
  out.tags = in.count(in.remaining(), "the number of tags");
  // Key numbers are gathered in 32 bits (index_by_tag).
  out.keys = in.count(std::min<std::uint64_t>(in.remaining() / 3, UINT32_MAX), "the number of keys");
  return in;
}

/// The first pass: checks every byte of the snapshot and counts each tag's
/// keys. Calls check() once per tag, per key and per tag of each key.
template <class Check>
layout check_snapshot(const unsigned char* data, std::size_t size, Check&& check) {
  layout out;
  reader in = header(data, size, out);
  for (std::size_t i = 0; i < out.tags; ++i) {
    check();
    in.skip_string("a tag");
  }
  out.carriers.assign(out.tags, 0);
  for (std::size_t k = 0; k < out.keys; ++k) {
    check();
    in.skip_string("a key");
    const std::uint64_t n = in.count(out.tags, "a key's number of tags");
    if (n == 0) throw format_error("a key has no tags");
    std::uint64_t number = in.count(out.tags - 1, "a tag number");  // n >= 1, so tags >= 1
    ++out.carriers[number];
    for (std::uint64_t j = 1; j < n; ++j) {
      check();
      if (number + 1 == out.tags) throw format_error("a key's tag numbers run past the last tag");
      // The distance from the last number, less one: the next is larger and in range.
      number += in.count(out.tags - 2 - number, "a tag number") + 1;
      ++out.carriers[number];
    }
  }
  if (in.remaining() != 0) throw format_error("bytes follow its last key");
  for (std::size_t i = 0; i < out.tags; ++i) {
    if (out.carriers[i] == 0) throw format_error("tag " + std::to_string(i) + " is carried by no key");
  }
  return out;
}

/// Buckets a block spans when inserting in bucket order: 16,384 of them,
/// 128 KiB of bucket array, stay in cache while their block is filled.
constexpr unsigned block_shift = 14;
/// Tables of fewer blocks (a bucket array under 1 MiB) stay in cache
/// whatever the order, and are filled in the order written.
constexpr std::size_t min_blocks = 8;

/// Puts `items` in the order of their blocks, block_of(item) < blocks, in
/// place (a counting sort), calling check() once per item and per move.
/// Inserting into a large table in that order finds each bucket, and the
/// nodes already in it, in cache: in any other order nearly every insert
/// waits for memory twice.
template <class T, class BlockOf, class Check>
void by_block(T* items, std::size_t n, std::size_t blocks, BlockOf&& block_of, Check&& check) {
  if (blocks < 2) return;
  // Each block's next free place and its end.
  std::vector<std::size_t> next(blocks, 0);
  std::vector<std::size_t> end(blocks, 0);
  for (std::size_t i = 0; i < n; ++i) {
    check();
    ++end[block_of(items[i])];
  }
  for (std::size_t b = 0, at = 0; b < blocks; ++b) {
    next[b] = at;
    at += end[b];
    end[b] = at;
  }
  // An item out of its block is carried to the next free place of its own,
  // taking the item found there along, until one of this block comes back.
  for (std::size_t b = 0; b < blocks; ++b) {
    while (next[b] < end[b]) {
      T item = items[next[b]];
      for (std::size_t home = block_of(item); home != b; home = block_of(item)) {
        check();
        std::swap(item, items[next[home]++]);
      }
      items[next[b]++] = item;
    }
  }
}

/// The number of blocks of `table`'s buckets, and the block of `item`.
template <class Table>
std::size_t blocks_of(const Table& table) noexcept {
  return (table.bucket_count() >> block_shift) + 1;
}
template <class Table, class Item>
std::size_t block_of(const Table& table, const Item& item) {
  return table.bucket(item) >> block_shift;
}

/// The bytes of the `keys` keys `in` holds (each key and its tag numbers),
/// those of a key that falls in an earlier block of `table`'s buckets first
/// and otherwise in the order written: a counting sort of byte ranges.
/// Inserting keys read straight through this finds each bucket, and the nodes
/// already in it, in cache, where the order written would miss it nearly
/// every time in a large table. Calls check() twice per key.
template <class Table, class Check>
std::vector<unsigned char> keys_by_block(reader in, std::size_t keys, const Table& table, Check&& check) {
  const unsigned char* const first = in.position();
  std::vector<std::uint32_t> blocks(keys);
  // Where each block's bytes go, counted from the next block's place.
  std::vector<std::size_t> next(blocks_of(table) + 1, 0);
  for (std::size_t k = 0; k < keys; ++k) {
    check();
    const unsigned char* start = in.position();
    blocks[k] = static_cast<std::uint32_t>(block_of(table, in.string()));
    in.skip_numbers();
    next[blocks[k] + 1] += static_cast<std::size_t>(in.position() - start);
  }
  for (std::size_t b = 1; b < next.size(); ++b) next[b] += next[b - 1];
  std::vector<unsigned char> sorted(static_cast<std::size_t>(in.position() - first));
  in.seek(first);
  for (std::size_t k = 0; k < keys; ++k) {
    check();
    const unsigned char* start = in.position();
    in.skip_checked();
    in.skip_numbers();
    const auto length = static_cast<std::size_t>(in.position() - start);
    std::memcpy(sorted.data() + next[blocks[k]], start, length);
    next[blocks[k]] += length;
  }
  return sorted;
}

/// The number of the second of the `keys` keys `in` holds that read `key`,
/// for the error that names it.
inline std::size_t second_copy(reader in, std::size_t keys, const std::string& key) {
  bool seen = false;
  for (std::size_t k = 0; k < keys; ++k) {
    if (in.string() == key) {
      if (seen) return k;
      seen = true;
    }
    in.skip_numbers();
  }
  return keys;
}

/// Adds each record to the posting sets of its tags, tag by tag, so that a
/// posting set fills while its buckets are in cache: filling them all at
/// once, key by key, misses the cache at almost every posting. The records
/// of a span of tags are gathered first, in key order, from the keys `in`
/// holds, which reads `records` in order too; the spans are as long as
/// `budget` addresses allow.
template <class Record, class Tags, class Check>
void index_by_tag(const reader& keys, const layout& shape, const std::vector<Record*>& records, Tags& tags,
                  std::size_t budget, Check&& check) {
  std::vector<std::size_t> next(shape.tags);
  std::vector<Record*> carriers;
  for (std::size_t first = 0, last = 0; first < shape.tags; first = last) {
    std::size_t total = 0;
    for (; last < shape.tags && (last == first || total + shape.carriers[last] <= budget); ++last) {
      next[last] = total;
      total += shape.carriers[last];
    }
    carriers.resize(total);
    reader in = keys;
    for (std::size_t k = 0; k < shape.keys; ++k) {
      check();
      in.skip_checked();
      std::uint64_t number = 0;
      for (std::uint64_t j = 0, n = in.varint(); j < n; ++j) {
        number = j == 0 ? in.varint() : number + in.varint() + 1;
        if (number >= first && number < last) carriers[next[number]++] = records[k];
      }
    }
    for (std::size_t i = first, at = 0; i < last; ++i) {
      auto& postings = *tags[i].second;
      const std::size_t n = shape.carriers[i];
      if (blocks_of(postings) >= min_blocks) {
        by_block(carriers.data() + at, n, blocks_of(postings),
                 [&postings](Record* r) { return block_of(postings, r); }, check);
      }
      for (std::size_t end = at + n; at < end; ++at) {
        check();
        postings.insert(carriers[at]);
      }
    }
  }
}

/// The store whose snapshot `data` holds. Raises format_error for bytes that
/// are not one, std::bad_alloc when memory runs out, and what check() throws;
/// check() is called at least once per tag, per key and per tag of each key
/// in each pass and must leave the bytes as they are. On any exception
/// nothing is kept.
///
/// Beside the store it holds a tag's address per tag, a record's per key, a
/// copy of the keys' bytes for a large store (keys_by_block) and at most about `size` bytes of
/// record addresses at a time (index_by_tag).
template <class Store, class Check>
Store read(const unsigned char* data, std::size_t size, Check&& check) {
  const layout shape = check_snapshot(data, size, check);
  layout ignored;
  reader in = header(data, size, ignored);
  Store store;
  using posting_set = typename Store::posting_set;
  using record_type = typename Store::object_type;
  const typename posting_set::allocator_type postings_alloc(store.get_allocator());
  std::vector<std::pair<const std::string*, posting_set*>> tags(shape.tags);
  store.tagindex.reserve(shape.tags);
  for (std::size_t i = 0; i < shape.tags; ++i) {
    check();
    auto placed = store.tagindex.try_emplace(in.string(), postings_alloc);
    if (!placed.second) throw format_error("tag " + std::to_string(i) + " is written twice");
    placed.first->second.reserve(shape.carriers[i]);
    tags[i] = {&placed.first->first, &placed.first->second};
  }
  const reader keys = in;
  store.objecttable.reserve(shape.keys);
  const std::vector<unsigned char> sorted = blocks_of(store.objecttable) >= min_blocks
                                                ? keys_by_block(keys, shape.keys, store.objecttable, check)
                                                : std::vector<unsigned char>();
  const reader sorted_keys = sorted.empty() ? keys : reader(sorted.data(), sorted.size());
  in = sorted_keys;
  std::vector<record_type*> records(shape.keys);
  for (std::size_t k = 0; k < shape.keys; ++k) {
    check();
    auto placed = store.objecttable.try_emplace(in.string(), store.get_allocator());
    if (!placed.second) {
      throw format_error("key " + std::to_string(second_copy(keys, shape.keys, placed.first->first)) +
                         " is written twice");
    }
    record_type& record = placed.first->second;
    record.data = placed.first->first;
    records[k] = &record;
    const std::uint64_t n = in.varint();
    record.tags.reserve(n);
    std::uint64_t number = 0;
    for (std::uint64_t j = 0; j < n; ++j) {
      check();
      number = j == 0 ? in.varint() : number + in.varint() + 1;
      record.tags.insert(*tags[number].first);
    }
  }
  index_by_tag(sorted_keys, shape, records, tags, std::max<std::size_t>(size / sizeof(record_type*), 1 << 16), check);
  return store;
}

}  // namespace vornic::snapshot

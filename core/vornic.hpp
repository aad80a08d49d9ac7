// vornic core: a map from keys to tag sets with an inverted tag index.
//
// Header-only and free of Python. The binding layer instantiates it with
// std::string keys and tags hashed by a keyed hash; the tests also use other
// key types and the default std::hash.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vornic {

/// Asks the processor to start loading the cache line at `p`. Only a hint:
/// GCC and Clang have the builtin, and elsewhere it compiles to nothing
/// without changing a result.
inline void prefetch([[maybe_unused]] const void* p) noexcept {
#if defined(__has_builtin)
#if __has_builtin(__builtin_prefetch)
  __builtin_prefetch(p);
#endif
#elif defined(__GNUC__)
  __builtin_prefetch(p);
#endif
}

template <class Alloc, class T>
using rebound = typename std::allocator_traits<Alloc>::template rebind_alloc<T>;

/// One stored entry: a key and its tags, hashed by VHash; the tag set draws
/// from Alloc (rebound). A plain value type.
template <class K, class V, class VHash = std::hash<V>, class Alloc = std::allocator<V>>
struct Object {
  using tag_set = std::unordered_set<V, VHash, std::equal_to<V>, rebound<Alloc, V>>;

  K data{};
  tag_set tags{};

  Object() = default;
  explicit Object(const Alloc& alloc) : tags(alloc) {}
  Object(const K& key, const tag_set& tagset) : data(key), tags(tagset) {}
  Object(const K& key, const tag_set& tagset, const Alloc& alloc) : data(key), tags(tagset, alloc) {}
};

/// The allocator a new store draws from: Alloc::for_new_store() where Alloc
/// has one (a memory resource of the store's own), else Alloc().
template <class Alloc, class = void>
struct store_allocator {
  static Alloc make() { return Alloc(); }
};
template <class Alloc>
struct store_allocator<Alloc, std::void_t<decltype(Alloc::for_new_store())>> {
  static Alloc make() { return Alloc::for_new_store(); }
};

/// The owning table of entries plus the inverted index from tag to entries.
/// Keys are hashed by KHash; tags, in the index and in every record, by VHash;
/// neither may throw.
///
/// Invariants, true after every operation:
///   1. for every objecttable entry (k, o): o.data == k;
///   2. no stored record has an empty tag set;
///   3. for every stored record o and tag t in o.tags, tagindex[t] holds &o;
///   4. every address in tagindex[t] is a stored record whose tags contain t;
///   5. no posting set is empty, so the keys of tagindex are exactly the
///      union of the stored tag sets.
///
/// Address stability, which the index and the binding layer rely on:
///   - objecttable is node-based: a record keeps its address while other
///     entries are added or removed and while the table rehashes;
///   - insert() of a present key assigns to the stored record in place;
///   - erase() destroys only the record it removes;
///   - a move hands the nodes over, so every record keeps its address.
/// Copying is deleted: a member-wise copy would leave tagindex pointing into
/// the source's records.
///
/// Memory: the tables, posting sets and stored tag sets draw from Alloc,
/// rebound, all from the allocator the store was made with; keys and tags
/// keep their own. A tag set handed to insert under another allocator is
/// copied into the store's.
///
/// Exceptions: only std::bad_alloc and std::length_error can leave, from
/// whichever step needed memory, and what an insert's check throws. insert
/// (of a new key, of a present key, or of an empty set) gives the strong
/// guarantee: when it throws, both tables hold what they held before and
/// every record is where it was; it undoes its own steps, which allocates
/// nothing. A table may keep the larger bucket
/// array it grew to, so its iteration order may differ. erase(const K*)
/// throws only while copying the key, before it changes anything, and
/// erase(const object_type*) allocates nothing.
template <class K, class V, class KHash = std::hash<K>, class VHash = std::hash<V>,
          class Alloc = std::allocator<V>>
class Vornic {
 public:
  using allocator_type = Alloc;
  using object_type = Object<K, V, VHash, Alloc>;
  using tag_set = typename object_type::tag_set;
  using posting_set = std::unordered_set<object_type*, std::hash<object_type*>, std::equal_to<object_type*>,
                                         rebound<Alloc, object_type*>>;

  std::unordered_map<V, posting_set, VHash, std::equal_to<V>, rebound<Alloc, std::pair<const V, posting_set>>>
      tagindex;
  std::unordered_map<K, object_type, KHash, std::equal_to<K>, rebound<Alloc, std::pair<const K, object_type>>>
      objecttable;

  Vornic() : Vornic(store_allocator<Alloc>::make()) {}
  explicit Vornic(const Alloc& alloc) : tagindex(alloc), objecttable(alloc) {}
  Vornic(const Vornic&) = delete;
  Vornic& operator=(const Vornic&) = delete;
  Vornic(Vornic&&) noexcept = default;
  /// Takes over `other`'s tables and allocator, so every record keeps its
  /// address: a member-wise assignment would move the records one by one
  /// when the allocators differ.
  Vornic& operator=(Vornic&& other) noexcept {
    if (this != &other) {
      this->~Vornic();
      ::new (static_cast<void*>(this)) Vornic(std::move(other));
    }
    return *this;
  }
  ~Vornic() = default;

  allocator_type get_allocator() const { return allocator_type(objecttable.get_allocator()); }

  /// Stores `key` with exactly `tags`, replacing its former tags. An empty
  /// set removes the key. Both arguments may refer into this container.
  void insert(const K& key, const tag_set& tags) {
    object_type local(key, tags, get_allocator());
    insert_record(local, [] {});
  }

  /// The same, taking over `tags` instead of copying it (a set under
  /// another allocator is copied after all).
  void insert(const K& key, tag_set&& tags) { insert(key, std::move(tags), [] {}); }

  /// The same, calling check() before indexing each tag, so that a long
  /// insert can be stopped: what check throws leaves the store as it was,
  /// as a failed allocation does, and gives `tags` back when it drew from
  /// the store's allocator.
  template <class Check>
  void insert(const K& key, tag_set&& tags, Check&& check) {
    object_type local(get_allocator());
    local.data = key;
    local.tags = std::move(tags);
    try {
      insert_record(local, check);
    } catch (...) {
      // Between equal allocators the move hands the set back whole.
      if (tags.get_allocator() == local.tags.get_allocator()) tags = std::move(local.tags);
      throw;
    }
  }

  /// Removes the entry whose key is obj->data (obj's tags are not read) and
  /// returns a copy of it; an absent key gives an empty record.
  object_type erase(const object_type* obj) {
    auto found = objecttable.find(obj->data);
    if (found == objecttable.end()) return object_type();
    object_type* stored = &found->second;
    for (const V& tag : stored->tags) unlink(tag, stored);
    object_type removed = std::move(*stored);
    objecttable.erase(found);
    return removed;
  }

  /// Removes the entry for *key; returns the key, or an empty K if absent.
  K erase(const K* key) {
    object_type probe;
    probe.data = *key;
    return std::move(erase(&probe).data);
  }

  /// Removes every entry. Both tables start afresh rather than keep (and
  /// zero) the bucket arrays of their largest size, so the cost follows the
  /// current size and the arrays' memory is given back. A fresh store may
  /// need memory of its own (a pool); without it the tables are emptied in
  /// place, which allocates nothing.
  void clear() noexcept {
    try {
      *this = Vornic();
    } catch (const std::bad_alloc&) {
      tagindex.clear();
      objecttable.clear();
    }
  }

  /// Every tag in use, once each, in tagindex order.
  std::vector<V> listtags() const {
    std::vector<V> result(tagindex.size());
    std::size_t i = 0;
    for (const auto& entry : tagindex) result[i++] = entry.first;
    return result;
  }

  /// Calls fn(record) for every record carrying all of `tags`, walking the
  /// smallest posting set among them. An empty query matches nothing.
  /// fn must not change the container.
  template <class F>
  void for_each_match(const tag_set& tags, F&& fn) const {
    std::vector<const posting_set*> sets;
    const posting_set* pivot = collect_postings(tags, sets);
    if (pivot == nullptr) return;
    for_each_posting(*pivot, [&](object_type* candidate) {
      if (carried_by_all(candidate, sets, pivot)) fn(static_cast<const object_type*>(candidate));
    });
  }

  /// Number of records carrying all of `tags`; 0 for an empty query.
  std::size_t count(const tag_set& tags) const {
    std::vector<const posting_set*> sets;
    const posting_set* pivot = collect_postings(tags, sets);
    if (pivot == nullptr) return 0;
    if (sets.size() == 1) return pivot->size();
    std::size_t n = 0;
    for_each_posting(*pivot, [&](object_type* candidate) {
      n += carried_by_all(candidate, sets, pivot) ? 1 : 0;
    });
    return n;
  }

  /// Calls fn(address) for every address in `postings`, in bucket order.
  ///
  /// Following the node list waits out one cache miss per node, as each
  /// node's address is read from the one before. Going bucket by bucket
  /// finds each bucket's first node from the bucket array instead, so the
  /// misses of different buckets overlap; the first node a few buckets ahead
  /// is fetched early for the same reason.
  template <class F>
  static void for_each_posting(const posting_set& postings, F&& fn) {
    constexpr std::size_t ahead = 16;
    const std::size_t buckets = postings.bucket_count();
    // A set that has shrunk keeps its buckets: walking them all would cost
    // time in its former size, so a sparse set follows its node list.
    if (postings.size() * 4 < buckets) {
      for (object_type* obj : postings) fn(obj);
      return;
    }
    for (std::size_t b = 0; b < buckets; ++b) {
      if (b + ahead < buckets) {
        auto first = postings.begin(b + ahead);
        if (first != postings.end(b + ahead)) prefetch(&*first);
      }
      for (auto it = postings.begin(b), end = postings.end(b); it != end; ++it) fn(*it);
    }
  }

  /// The records carrying all of `tags`; empty for an empty query.
  std::unordered_set<const object_type*> findobject(const tag_set& tags) const {
    std::unordered_set<const object_type*> result;
    for_each_match(tags, [&result](const object_type* match) { result.insert(match); });
    return result;
  }

  /// The keys (addresses of the records' data) carrying all of `tags`.
  std::unordered_set<const K*> find(const tag_set& tags) const {
    std::unordered_set<const object_type*> objects = findobject(tags);
    std::unordered_set<const K*> result;
    result.reserve(objects.size());
    for (const object_type* obj : objects) result.insert(&obj->data);
    return result;
  }

 private:
  /// `local` is the caller's own copy, so nothing read here can alias the
  /// container's state that is being changed; it is taken over only once
  /// nothing can fail.
  template <class Check>
  void insert_record(object_type& local, Check&& check) {
    if (local.tags.empty()) {
      erase(&local);
      return;
    }
    // One lookup serves both cases: try_emplace adds a node only when absent.
    // A new record starts with no tags, so every tag counts as added to it.
    auto placed = objecttable.try_emplace(local.data, get_allocator());
    object_type& stored = placed.first->second;
    try {
      link_added(stored, local.tags, check);
    } catch (...) {
      if (placed.second) objecttable.erase(placed.first);
      throw;
    }
    // Nothing below allocates: unlinking only frees, and the move hands the
    // set over (`local` draws from the store's allocator, as `stored` does).
    for (const V& tag : stored.tags) {
      if (local.tags.count(tag) == 0) unlink(tag, &stored);
    }
    stored = std::move(local);
  }

  /// Adds `stored` to the postings of each tag in `tags` that it does not
  /// carry yet, calling check() before each. If memory runs out or check
  /// throws, takes those postings out again (that allocates nothing) and
  /// rethrows.
  template <class Check>
  void link_added(object_type& stored, const tag_set& tags, Check&& check) {
    try {
      for (const V& tag : tags) {
        check();
        if (stored.tags.count(tag) == 0) postings_of(tag).insert(&stored);
      }
    } catch (...) {
      // Tags not reached yet hold no posting of `stored`, so unlinking them
      // is harmless; the failed one may have left an empty posting set.
      for (const V& tag : tags) {
        if (stored.tags.count(tag) == 0) unlink(tag, &stored);
      }
      throw;
    }
  }

  /// The posting set of `tag`, added empty if absent.
  posting_set& postings_of(const V& tag) {
    return tagindex.try_emplace(tag, typename posting_set::allocator_type(get_allocator())).first->second;
  }

  /// Takes `obj` out of the posting set of `tag`, dropping the set once empty.
  void unlink(const V& tag, object_type* obj) {
    auto found = tagindex.find(tag);
    if (found == tagindex.end()) return;
    found->second.erase(obj);
    if (found->second.empty()) tagindex.erase(found);
  }

  /// Fills `sets` with the posting set of every query tag and returns the
  /// smallest (the earlier tag wins ties), or null when the query is empty
  /// or some tag is not in use.
  const posting_set* collect_postings(const tag_set& tags, std::vector<const posting_set*>& sets) const {
    if (tags.empty()) return nullptr;
    sets.reserve(tags.size());
    const posting_set* pivot = nullptr;
    for (const V& tag : tags) {
      auto found = tagindex.find(tag);
      if (found == tagindex.end()) return nullptr;
      const posting_set* postings = &found->second;
      sets.push_back(postings);
      if (pivot == nullptr || postings->size() < pivot->size()) pivot = postings;
    }
    // Probe the smaller sets first: they reject a candidate soonest.
    std::stable_sort(sets.begin(), sets.end(), [](auto* a, auto* b) { return a->size() < b->size(); });
    return pivot;
  }

  static bool carried_by_all(object_type* candidate, const std::vector<const posting_set*>& sets,
                             const posting_set* pivot) {
    for (const posting_set* postings : sets) {
      if (postings != pivot && postings->count(candidate) == 0) return false;
    }
    return true;
  }
};

}  // namespace vornic

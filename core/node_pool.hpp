// A per-store memory pool for the nodes of node-based containers, and the
// allocator that draws from it.
//
// A store owns millions of small nodes of a handful of sizes. From the
// general heap each pays a header and rounding, and nodes of one table end up
// interleaved with everything else the process allocates. The pool carves
// nodes of one size out of chunks of its own, with no header, so a store's
// nodes lie together and a walk over them touches fewer pages.
//
// Not thread-safe: a pool and every container using it must be used by one
// thread at a time (the binding holds the interpreter lock throughout).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

// Under AddressSanitizer a block the pool holds is poisoned, so a stray read
// or write of a freed or never-used node is reported as it would be on the
// general heap.
#if defined(__SANITIZE_ADDRESS__)
#define VORNIC_POOL_POISONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORNIC_POOL_POISONS 1
#endif
#endif
#if defined(VORNIC_POOL_POISONS)
#include <sanitizer/asan_interface.h>
#endif

namespace vornic {

namespace pool_detail {

inline void poison([[maybe_unused]] const void* p, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(VORNIC_POOL_POISONS)
  ASAN_POISON_MEMORY_REGION(p, bytes);
#endif
}

inline void unpoison([[maybe_unused]] const void* p, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(VORNIC_POOL_POISONS)
  ASAN_UNPOISON_MEMORY_REGION(p, bytes);
#endif
}

/// The size at which a block is worth a transparent huge page of its own.
constexpr std::size_t huge_page = std::size_t{2} << 20;

#if defined(__linux__) && defined(MADV_HUGEPAGE) && !defined(VORNIC_NO_HUGE_PAGES)
#define VORNIC_POOL_MAPS_PAGES 1

inline std::size_t page_size() noexcept {
  static const std::size_t size = [] {
    const long reported = sysconf(_SC_PAGESIZE);
    return reported > 0 ? static_cast<std::size_t>(reported) : std::size_t{4096};
  }();
  return size;
}

inline std::size_t whole_pages(std::size_t bytes) noexcept {
  return (bytes + page_size() - 1) / page_size() * page_size();
}

/// `bytes` of fresh pages from the kernel, starting on a huge-page boundary
/// and advised for huge pages (only a hint, which the kernel may refuse).
/// Taken from the kernel rather than operator new: freed, they go straight
/// back, where the general heap would keep the aligned blocks' leftovers and
/// fragment around them, growing with every build and release.
inline void* map_pages(std::size_t bytes) {
  const std::size_t length = whole_pages(bytes);
  const std::size_t span = length + huge_page;  // room to find an aligned start
  if (span < length) throw std::bad_alloc();
  void* region = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (region == MAP_FAILED) throw std::bad_alloc();
  const auto base = reinterpret_cast<std::uintptr_t>(region);
  const std::uintptr_t start = (base + huge_page - 1) & ~std::uintptr_t{huge_page - 1};
  const std::size_t head = start - base;
  if (head != 0) munmap(region, head);
  if (span - head != length) munmap(reinterpret_cast<void*>(start + length), span - head - length);
  void* block = reinterpret_cast<void*>(start);
  madvise(block, length & ~(huge_page - 1), MADV_HUGEPAGE);
  return block;
}

inline void unmap_pages(void* block, std::size_t bytes) noexcept { munmap(block, whole_pages(bytes)); }
#endif

/// A block of `bytes` from operator new, or, from a huge page up, pages of
/// its own from the kernel. Defining VORNIC_NO_HUGE_PAGES leaves the pages
/// out, to measure what they buy.
inline void* upstream_allocate(std::size_t bytes) {
#if defined(VORNIC_POOL_MAPS_PAGES)
  if (bytes >= huge_page) return map_pages(bytes);
#endif
  return ::operator new(bytes);
}

inline void upstream_deallocate(void* block, std::size_t bytes) noexcept {
#if defined(VORNIC_POOL_MAPS_PAGES)
  if (bytes >= huge_page) {
    unmap_pages(block, bytes);
    return;
  }
#endif
  ::operator delete(block, bytes);
}

/// Where a store's first blocks come from: operator new, unless the program
/// names a source better suited to many small blocks, once, before any store
/// exists.
struct block_source {
  void* (*allocate)(std::size_t) = nullptr;  // null when out of memory
  void (*deallocate)(void*) = nullptr;
};

inline block_source& first_blocks() noexcept {
  static block_source source;
  return source;
}

inline void* allocate_first(std::size_t bytes) {
  const block_source& source = first_blocks();
  if (source.allocate == nullptr) return ::operator new(bytes);
  if (void* block = source.allocate(bytes)) return block;
  throw std::bad_alloc();
}

inline void deallocate_first(void* block, std::size_t bytes) noexcept {
  const block_source& source = first_blocks();
  if (source.deallocate == nullptr) {
    ::operator delete(block, bytes);
  } else {
    source.deallocate(block);
  }
}

}  // namespace pool_detail

/// Blocks of up to max_block bytes from chunks that each hold blocks of one
/// size; larger blocks, and blocks aligned beyond 8 bytes, come from operator
/// new directly. Each size class grows its chunks geometrically up to 2 MiB.
///
/// Small stores cost what they would without a pool: the first few dozen
/// blocks come from operator new (or the source set in
/// pool_detail::first_blocks), and the pool makes its chunks and their
/// bookkeeping only once a store holds more, so an empty store costs the
/// pool a few words and a one-entry store no chunk at all.
///
/// Memory comes back: a chunk whose last block is freed returns upstream,
/// except for one empty chunk per size class kept for reuse (the smallest);
/// the pool frees everything once it holds no block, and when it is
/// destroyed. A store that has shrunk far below what its chunks hold can be
/// moved into a fresh pool (see compact_if_sparse).
///
/// The pool is shared by every allocator made from it and destroyed with the
/// last (see pool_allocator), so a container taken out of a store can
/// outlive the store.
class node_pool {
 public:
  static constexpr std::size_t granule = 8;
  static constexpr std::size_t max_block = 512;
  /// Blocks served from operator new before the pool makes chunks.
  static constexpr std::size_t direct_blocks = 64;

  node_pool() = default;
  node_pool(const node_pool&) = delete;
  node_pool& operator=(const node_pool&) = delete;
  ~node_pool() { release_all(); }

  void* allocate(std::size_t bytes, std::size_t align) {
    if (align > __STDCPP_DEFAULT_NEW_ALIGNMENT__) return ::operator new(bytes, std::align_val_t{align});
    if (bytes > max_block || align > granule) return pool_detail::upstream_allocate(bytes);
    if (tables_ == nullptr) {
      if (live_ < direct_blocks) {
        void* block = pool_detail::allocate_first(bytes);
        ++live_;
        return block;
      }
      tables_ = new tables();
    }
    const std::size_t index = class_of(bytes);
    size_class& cls = tables_->classes[index];
    chunk* c = cls.available != nullptr ? cls.available : add_chunk(cls, index);
    void* block = c->take(block_size(index));
    if (c == cls.spare) cls.spare = nullptr;
    ++c->live;
    if (c->full()) unlink_available(cls, c);
    tables_->block_bytes += block_size(index);
    ++live_;
    return block;
  }

  void deallocate(void* block, std::size_t bytes, std::size_t align) noexcept {
    if (align > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
      ::operator delete(block, bytes, std::align_val_t{align});
      return;
    }
    if (bytes > max_block || align > granule) {
      pool_detail::upstream_deallocate(block, bytes);
      return;
    }
    const std::size_t index = class_of(bytes);
    chunk* c = tables_ != nullptr ? tables_->classes[index].owner(block) : nullptr;
    if (c == nullptr) {
      pool_detail::deallocate_first(block, bytes);  // one of the first blocks, served directly
    } else {
      size_class& cls = tables_->classes[index];
      const bool was_full = c->full();
      c->give(block, block_size(index));
      if (was_full) link_available(cls, c);
      if (--c->live == 0) keep_spare(cls, c);
      tables_->block_bytes -= block_size(index);
    }
    if (tables_ != nullptr) ++tables_->freed;
    if (--live_ == 0) release_all();
  }

  /// Bytes held in chunks (blocks over max_block not counted).
  std::size_t chunk_bytes() const noexcept { return tables_ != nullptr ? tables_->chunk_bytes : 0; }

  /// Bytes of the blocks handed out from chunks.
  std::size_t block_bytes() const noexcept { return tables_ != nullptr ? tables_->block_bytes : 0; }

  /// Whether moving the live blocks into a fresh pool would give most of
  /// the chunks back, paid for by the frees that made the pool sparse: blocks
  /// have been freed at least as many as remain, and either the blocks left
  /// fit among the first, served directly (a fresh pool then holds no chunk),
  /// or the chunks hold over four times what their blocks need plus what a
  /// fresh pool would hold beyond them (its first chunk of each size in use).
  bool sparse() const noexcept {
    if (tables_ == nullptr || tables_->freed < live_) return false;
    if (live_ <= direct_blocks) return true;
    return chunk_bytes() / 4 > block_bytes() + tables_->sizes_with_chunks * min_chunk;
  }

  /// What the chunks really hold, walked one by one: the totals the pool
  /// keeps must match it.
  struct audit_totals {
    std::size_t chunk_bytes = 0;
    std::size_t block_bytes = 0;
  };
  audit_totals audit() const noexcept {
    audit_totals sum;
    if (tables_ == nullptr) return sum;
    for (std::size_t index = 0; index < classes; ++index) {
      for (const chunk* c : tables_->classes[index].chunks) {
        sum.chunk_bytes += c->bytes;
        sum.block_bytes += c->live * block_size(index);
      }
    }
    return sum;
  }

  /// Shared ownership: the allocators count themselves here.
  void retain() noexcept { ++refs_; }
  void release() noexcept {
    if (--refs_ == 0) destroy(this);
  }

 private:
  static constexpr std::size_t classes = max_block / granule;
  static constexpr std::size_t min_chunk = 1024;
  static constexpr std::size_t max_chunk = pool_detail::huge_page;

  /// The head of a chunk; its blocks follow. Blocks never handed out lie
  /// beyond `fresh`, freed ones are linked through their first word.
  struct chunk {
    void* freed = nullptr;
    char* fresh;
    char* end;
    std::size_t bytes;
    std::size_t live = 0;
    chunk* prev = nullptr;  // the size class's list of chunks with room
    chunk* next = nullptr;

    chunk(std::size_t size, std::size_t block)
        : fresh(reinterpret_cast<char*>(this) + sizeof(chunk)),
          end(fresh + (size - sizeof(chunk)) / block * block),
          bytes(size) {
      pool_detail::poison(fresh, static_cast<std::size_t>(end - fresh));
    }

    bool full() const noexcept { return freed == nullptr && fresh == end; }
    void* take(std::size_t block) noexcept {
      void* taken = freed != nullptr ? freed : fresh;
      pool_detail::unpoison(taken, block);
      if (freed == nullptr) return std::exchange(fresh, fresh + block);
      return std::exchange(freed, *static_cast<void**>(freed));
    }
    void give(void* block, std::size_t size) noexcept {
      *static_cast<void**>(block) = freed;
      freed = block;
      pool_detail::poison(block, size);
    }
    bool holds(const void* p) const noexcept {
      return std::less_equal<const void*>()(this, p) && std::less<const void*>()(p, end);
    }
  };

  struct size_class {
    std::vector<chunk*> chunks;  // by address, to find a block's chunk
    chunk* available = nullptr;
    std::size_t bytes = 0;  // in its chunks, which the next chunk matches
    chunk* spare = nullptr;  // the one empty chunk kept for reuse

    /// The chunk holding `block`, or null for a block served directly.
    chunk* owner(const void* block) const noexcept {
      if (available != nullptr && available->holds(block)) return available;
      auto after = std::upper_bound(chunks.begin(), chunks.end(), block, [](const void* p, const chunk* c) {
        return std::less<const void*>()(p, c);
      });
      if (after == chunks.begin() || !(*(after - 1))->holds(block)) return nullptr;
      return *(after - 1);
    }
  };

  /// The bookkeeping of a pool with chunks.
  struct tables {
    size_class classes[node_pool::classes];
    // Totals over the classes, so that asking whether the pool is sparse,
    // after every call that removes, costs nothing.
    std::size_t chunk_bytes = 0;
    std::size_t block_bytes = 0;
    std::size_t freed = 0;  // blocks freed since the first chunk was made
    std::size_t sizes_with_chunks = 0;  // size classes holding a chunk
  };

  // Out of line: inlined into the allocators' destructors, GCC takes the
  // reference counting that surrounds it for uses after the delete.
  [[gnu::noinline]] static void destroy(node_pool* pool) noexcept { delete pool; }

  static std::size_t class_of(std::size_t bytes) noexcept { return bytes == 0 ? 0 : (bytes - 1) / granule; }
  static std::size_t block_size(std::size_t index) noexcept { return (index + 1) * granule; }

  /// A new chunk for class `index`, as large as the class's chunks so far.
  chunk* add_chunk(size_class& cls, std::size_t index) {
    const std::size_t block = block_size(index);
    const std::size_t size = std::min(max_chunk, std::max({min_chunk, cls.bytes, sizeof(chunk) + 8 * block}));
    // Room first: inserting is then the only step that cannot throw once the chunk exists.
    if (cls.chunks.size() == cls.chunks.capacity()) {
      cls.chunks.reserve(std::max<std::size_t>(8, 2 * cls.chunks.size()));
    }
    void* memory = pool_detail::upstream_allocate(size);
    chunk* c = ::new (memory) chunk(size, block);
    auto at = std::upper_bound(cls.chunks.begin(), cls.chunks.end(), c, std::less<const chunk*>());
    if (cls.chunks.empty()) ++tables_->sizes_with_chunks;
    cls.chunks.insert(at, c);
    cls.bytes += size;
    tables_->chunk_bytes += size;
    link_available(cls, c);
    return c;
  }

  /// Keeps the smaller of `c`, just emptied, and the class's spare; frees the other.
  void keep_spare(size_class& cls, chunk* c) noexcept {
    if (cls.spare == nullptr) {
      cls.spare = c;
      return;
    }
    chunk* larger = c->bytes > cls.spare->bytes ? c : cls.spare;
    cls.spare = larger == c ? cls.spare : c;
    drop_chunk(cls, larger);
  }

  void drop_chunk(size_class& cls, chunk* c) noexcept {
    unlink_available(cls, c);
    cls.chunks.erase(std::lower_bound(cls.chunks.begin(), cls.chunks.end(), c, std::less<const chunk*>()));
    if (cls.chunks.empty()) --tables_->sizes_with_chunks;
    cls.bytes -= c->bytes;
    tables_->chunk_bytes -= c->bytes;
    free_chunk(c);
  }

  static void free_chunk(chunk* c) noexcept {
    const std::size_t size = c->bytes;
    c->~chunk();
    pool_detail::unpoison(c, size);
    pool_detail::upstream_deallocate(c, size);
  }

  static void link_available(size_class& cls, chunk* c) noexcept {
    c->prev = nullptr;
    c->next = cls.available;
    if (cls.available != nullptr) cls.available->prev = c;
    cls.available = c;
  }

  static void unlink_available(size_class& cls, chunk* c) noexcept {
    (c->prev != nullptr ? c->prev->next : cls.available) = c->next;
    if (c->next != nullptr) c->next->prev = c->prev;
    c->prev = c->next = nullptr;
  }

  /// Frees every chunk and the bookkeeping: the pool starts over as new.
  void release_all() noexcept {
    if (tables_ == nullptr) return;
    for (const size_class& cls : tables_->classes) {
      for (chunk* c : cls.chunks) free_chunk(c);
    }
    delete std::exchange(tables_, nullptr);
  }

  tables* tables_ = nullptr;  // made with the first chunk
  std::size_t live_ = 0;      // blocks handed out, from chunks or directly
  std::size_t refs_ = 0;
};

/// An allocator drawing from a shared node_pool, or from operator new when
/// default-constructed, so that a container outside any store needs no pool.
///
/// Like the standard's polymorphic allocator, a container keeps its
/// allocator when assigned to: assigning a set into a stored record copies
/// the elements into the record's pool (moving too, when the pools differ),
/// and a copy of a container draws from operator new. Unlike it, swap
/// exchanges the allocators, so swapping containers of different pools is
/// defined. Each allocator holds a reference to its pool.
template <class T>
class pool_allocator {
 public:
  using value_type = T;
  using propagate_on_container_copy_assignment = std::false_type;
  using propagate_on_container_move_assignment = std::false_type;
  using propagate_on_container_swap = std::true_type;
  using is_always_equal = std::false_type;

  pool_allocator() noexcept = default;
  /// An allocator drawing from `pool`, which it shares.
  explicit pool_allocator(node_pool* pool) noexcept : pool_(pool) { hold(); }
  pool_allocator(const pool_allocator& other) noexcept : pool_(other.pool_) { hold(); }
  template <class U>
  pool_allocator(const pool_allocator<U>& other) noexcept : pool_(other.pool()) {
    hold();
  }
  pool_allocator& operator=(const pool_allocator& other) noexcept {
    pool_allocator(other).swap(*this);
    return *this;
  }
  ~pool_allocator() {
    if (pool_ != nullptr) pool_->release();
  }

  /// An allocator of a new pool of its own: what a new store draws from.
  static pool_allocator for_new_store() { return pool_allocator(new node_pool()); }

  T* allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
    if (pool_ == nullptr) return static_cast<T*>(::operator new(n * sizeof(T)));
    return static_cast<T*>(pool_->allocate(n * sizeof(T), alignof(T)));
  }

  void deallocate(T* p, std::size_t n) noexcept {
    if (pool_ == nullptr) {
      ::operator delete(p, n * sizeof(T));
    } else {
      pool_->deallocate(p, n * sizeof(T), alignof(T));
    }
  }

  pool_allocator select_on_container_copy_construction() const noexcept { return pool_allocator(); }

  node_pool* pool() const noexcept { return pool_; }

  template <class U>
  bool operator==(const pool_allocator<U>& other) const noexcept {
    return pool_ == other.pool();
  }
  template <class U>
  bool operator!=(const pool_allocator<U>& other) const noexcept {
    return pool_ != other.pool();
  }

 private:
  void hold() noexcept {
    if (pool_ != nullptr) pool_->retain();
  }
  void swap(pool_allocator& other) noexcept { std::swap(pool_, other.pool_); }

  node_pool* pool_ = nullptr;
};

/// Moves `store` into a fresh pool when its own has become sparse (see
/// node_pool::sparse): every entry is inserted anew, so the fresh chunks hold
/// what the store keeps and the old ones go back as the old tables are
/// destroyed. The entries are the same but every record moves, so no address
/// of a record may be held across the call. If memory runs out meanwhile the
/// store stays as it was. Returns whether it moved.
template <class Store>
bool compact_if_sparse(Store& store) noexcept {
  const node_pool* pool = store.get_allocator().pool();
  if (pool == nullptr || !pool->sparse()) return false;
  try {
    Store fresh;
    fresh.objecttable.reserve(store.objecttable.size());
    fresh.tagindex.reserve(store.tagindex.size());
    for (const auto& entry : store.objecttable) fresh.insert(entry.first, entry.second.tags);
    store = std::move(fresh);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

}  // namespace vornic

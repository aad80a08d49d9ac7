// The binding's instantiation of the core: which hasher and allocator its
// tables use, the checks that they keep hash codes, and the hash's key.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <type_traits>

#include "keyed_hash.hpp"
#include "node_pool.hpp"
#include "vornic.hpp"

namespace vornic::py_binding {

namespace py = pybind11;

// Keys and tags come from callers, so every table of strings is keyed; the
// set and record types follow from the map so they cannot drift apart. Each
// map's nodes come from a pool of its own; a tag set or record outside any
// map, default-constructed, draws from operator new.
using Map = Vornic<std::string, std::string, keyed_hash, keyed_hash, pool_allocator<std::string>>;
using TagSet = Map::tag_set;
using Record = Map::object_type;
using Allocator = Map::allocator_type;

// Whether a table's nodes store their element's hash code: a string is then
// hashed once on insertion, not again on every rehash and probe. Only
// libstdc++ leaves that to the hasher, and only its internal node types show
// the outcome, so the check is for it alone; libc++ stores the code in every
// node whatever the hasher.
#if defined(__GLIBCXX__)
template <class Alloc>
struct node_caches_hash;
template <template <class> class Alloc, class Value, bool Cached>
struct node_caches_hash<Alloc<std::__detail::_Hash_node<Value, Cached>>> : std::bool_constant<Cached> {};
template <class Table>
struct table_caches_hash;
template <class Key, class Value, class Alloc>
struct table_caches_hash<std::_Node_handle<Key, Value, Alloc>> : node_caches_hash<Alloc> {};

static_assert(table_caches_hash<TagSet::node_type>::value, "tag sets must cache hash codes");
static_assert(table_caches_hash<decltype(Map::tagindex)::node_type>::value, "tagindex must cache hash codes");
static_assert(table_caches_hash<decltype(Map::objecttable)::node_type>::value, "objecttable must cache them");
#endif

/// Keys the string hash from the interpreter's own hash secret, through the
/// hashes of fixed bytes, so that PYTHONHASHSEED governs our tables as it
/// governs dicts. Runs at import, before any table exists; raises what hash()
/// raises.
inline void seed_keyed_hash() {
  auto hash_of = [](const char* label) {
    Py_hash_t h = PyObject_Hash(py::bytes(label).ptr());
    if (h == -1) throw py::error_already_set();
    return static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<Py_hash_t>>(h));
  };
  auto key_word = [&hash_of](const std::string& label) {
    std::uint64_t word = hash_of((label + "a").c_str());
    // Where Py_hash_t is narrower than 64 bits, fill the word from two hashes.
    if (sizeof(Py_hash_t) < sizeof(std::uint64_t)) word = (word << 32) ^ hash_of((label + "b").c_str());
    return word;
  };
  keyed_hash::set_key(key_word("vornic key 0"), key_word("vornic key 1"));
}

/// A small map's first nodes come from the interpreter's small-block
/// allocator, which packs them without malloc's per-block header: a map of
/// one entry costs what it did before maps had pools. Every map is used
/// under the interpreter lock, which that allocator needs. Runs at import,
/// before any map exists.
inline void take_first_blocks_from_python() {
  pool_detail::first_blocks() = {&PyMem_Malloc, &PyMem_Free};
}

}  // namespace vornic::py_binding

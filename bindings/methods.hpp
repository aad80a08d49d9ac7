// The Vornic methods too long to write inline at their registration.
//
// Design notes:
// - Every store ends in Map::insert, which keeps the tag index right; tag
//   edits build the key's whole new tag set and hand it back.
// - Whatever a method hands back is built before it changes the map, so a
//   stored key or tag that is not valid UTF-8 (it came in as bytes) raises
//   UnicodeDecodeError with the map unchanged rather than losing an entry.
// - Methods that keep pointers into the map while they allocate Python
//   containers hold a GcPause, so no __del__ can change the map meanwhile.
// - A long change runs signal handlers as it goes (see InterruptProbe); a
//   method that ran the caller's code after its map was handed to it checks
//   that the map is not half changed meanwhile before it reads or changes it.
// - Bulk removal collects first and removes afterwards: removing while
//   walking objecttable would invalidate the walk. Removing one record leaves
//   the others where they are, so collected addresses stay valid.
#pragma once

#include <algorithm>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "lookup.hpp"
#include "results.hpp"

namespace vornic::py_binding {

// ---- mapping protocol ------------------------------------------------------

/// Tag sets, and updates, larger than this reserve room in the tables
/// before they go in.
constexpr size_t many_tags = size_t{1} << 16;

/// map.insert(key, tags), running signal handlers every few thousand steps
/// (see InterruptProbe): if one raises, the map is left unchanged and this
/// raises too. Converting the tags ran the caller's code, which may have
/// left `map` half changed by a handler's caller: that is refused first.
inline void insert_stoppable(Map& map, const std::string& key, TagSet&& tags, InterruptProbe& probe) {
  check_not_mid_change(map);
  probe();
  // Room first for a set of many tags, as if all were new: grown tag by
  // tag, the index would rehash all it holds at each doubling, each a long
  // stretch without a look at signals.
  if (tags.size() > many_tags) map.tagindex.reserve(map.tagindex.size() + tags.size());
  map.insert(key, std::move(tags), probe);
}

inline void set_item(Map& map, const std::string& key, const IterableArg& tags) {
  InterruptProbe probe(map);
  insert_stoppable(map, key, to_tagset(tags, map.get_allocator()), probe);
  removed_some(map);  // the former tags may have been many more
}

/// Stores converted items in order; if storing one fails or is stopped, the
/// ones before it stay stored.
inline void store_items(Map& map, std::vector<std::pair<std::string, TagSet>>& items) {
  InterruptProbe probe(map);
  // As for a key's many tags (see insert_stoppable), room first for many keys.
  if (items.size() > many_tags) map.objecttable.reserve(map.objecttable.size() + items.size());
  for (auto& [key, tags] : items) insert_stoppable(map, key, std::move(tags), probe);
  removed_some(map);  // empty values delete
}

/// Stores every {key: tags} of `d` in the dict's own order, as one change:
/// every value is converted before the first is stored, since converting
/// runs the caller's code, which lets other threads in. When a conversion
/// fails (or a signal handler raises meanwhile), the items before it are
/// stored, then the error is raised. Only our own errors are caught: a
/// thread the interpreter ends does not get here (see calling_python), and
/// any other unwinding that is no error of ours passes untouched.
inline void update(Map& map, const DictArg& d) {
  std::vector<std::pair<std::string, TagSet>> converted;
  converted.reserve(stored_size(d));
  try {
    for_each_dict_item(d, map.get_allocator(), [&converted](std::string&& key, TagSet&& tags) {
      converted.emplace_back(std::move(key), std::move(tags));
      if (converted.size() % signal_interval == 0) check_signals();
    });
  } catch (const std::exception&) {
    store_items(map, converted);
    throw;
  }
  store_items(map, converted);
}

inline py::str text_py(const Map& map) {
  py::dict d = to_dict_py(map);
  PyObject* text = PyUnicode_FromFormat("Vornic(%S)", d.ptr());
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

inline py::object get(const Map& map, const std::string& key, py::object default_) {
  const Record* record = lookup(map, key);
  if (record == nullptr) return default_;
  return tagset_py(record->tags);
}

inline StrSet setdefault(Map& map, const std::string& key, const IterableArg& default_) {
  if (const Record* record = lookup(map, key)) return tagset_py(record->tags);
  TagSet tags = to_tagset(default_, map.get_allocator());
  // Reading the default ran the caller's code, which may have stored the key
  // meanwhile: as with a dict, what the key holds now wins.
  check_not_mid_change(map);
  if (const Record* record = lookup(map, key)) return tagset_py(record->tags);
  StrSet result = tagset_py(tags);
  InterruptProbe probe(map);
  insert_stoppable(map, key, std::move(tags), probe);
  return result;
}

inline py::object pop(Map& map, const std::string& key, py::object default_) {
  const Record* record = lookup(map, key);
  if (record == nullptr) return default_;
  GcPause pause;
  py::object result = tagset_py(record->tags);
  erase_data_if_exists(map, key);
  return result;
}

inline py::typing::Tuple<py::str, StrSet> popitem(Map& map) {
  if (map.objecttable.empty()) throw py::key_error("popitem(): Vornic is empty");
  GcPause pause;
  const Record& first = map.objecttable.begin()->second;
  py::tuple item = item_py(first);
  map.erase(&first);
  removed_some(map);  // a drain gives memory back as del does; the order after a move is the new table's
  return py::reinterpret_steal<py::typing::Tuple<py::str, StrSet>>(item.release());
}

// ---- per-key tag editing ---------------------------------------------------

/// Merges `tags` into the tag set of `key`, creating the key when absent.
inline void add_tags(Map& map, const std::string& key, const TagSet& tags) {
  check_not_mid_change(map);  // converting `tags` ran the caller's code
  const Record* record = lookup(map, key);
  TagSet working(map.get_allocator());  // the map's, so insert takes it over
  if (record != nullptr) working = record->tags;
  working.insert(tags.begin(), tags.end());
  InterruptProbe probe(map);
  insert_stoppable(map, key, std::move(working), probe);
}

inline void remove_tag(Map& map, const std::string& key, const std::string& tag) {
  TagSet working(lookup_or_throw(map, key).tags, map.get_allocator());
  if (working.erase(tag) == 0) raise_key_error("tag not found: ", tag);
  map.insert(key, std::move(working));
  removed_some(map);
}

inline void discard_tag(Map& map, const std::string& key, const std::string& tag) {
  const Record* record = lookup(map, key);
  if (record == nullptr) return;
  TagSet working(record->tags, map.get_allocator());
  working.erase(tag);
  map.insert(key, std::move(working));
  removed_some(map);
}

inline bool has_tag(const Map& map, const std::string& key, const std::string& tag) {
  const Record* record = lookup(map, key);
  return record != nullptr && record->tags.count(tag) != 0;
}

// ---- queries and bulk removal ----------------------------------------------

/// The tags of a query on `map`. Converting them runs the caller's code,
/// which may leave `map` half changed by a signal handler's caller.
inline TagSet query_tags(const Map& map, const IterableArg& tags) {
  TagSet query = to_tagset(tags);
  check_not_mid_change(map);
  return query;
}

/// The tag set of query(*args): one tag per positional argument.
inline TagSet args_tagset(const py::args& args) {
  TagSet tags;
  tags.reserve(args.size());
  for (py::handle arg : args) tags.insert(string_cast(arg));
  return tags;
}

inline py::int_ int_py(size_t n) {
  PyObject* value = PyLong_FromSize_t(n);
  if (value == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::int_>(value);
}

inline py::int_ count(const Map& map, const IterableArg& tags) {
  TagSet query = query_tags(map, tags);
  return int_py(query.empty() ? map.objecttable.size() : map.count(query));
}

inline py::int_ count_any(const Map& map, const IterableArg& tags) {
  TagSet query = query_tags(map, tags);
  return int_py(query.empty() ? map.objecttable.size() : count_any_of(map, query));
}

/// Keeps only the records of `keep` (sorted by address); returns their
/// keys. The result is complete before anything is removed.
inline StrList retain(Map& map, const RecordList& keep) {
  GcPause pause;
  StrList result = keys_list_py(keep);
  RecordList everything;
  everything.reserve(map.objecttable.size());
  for (const auto& entry : map.objecttable) everything.push_back(&entry.second);
  sort_by_address(everything);
  RecordList doomed;
  doomed.reserve(everything.size() - keep.size());
  std::set_difference(everything.begin(), everything.end(), keep.begin(), keep.end(),
                      std::back_inserter(doomed), std::less<const Record*>());
  for (const Record* record : doomed) map.erase(record);
  removed_some(map);
  return result;
}

inline StrList retain_where(Map& map, const IterableArg& tags) {
  TagSet query = query_tags(map, tags);
  if (query.empty()) return keys_list(map);
  return retain(map, all_of_matches(map, query));
}

inline StrList retain_where_any(Map& map, const IterableArg& tags) {
  TagSet query = query_tags(map, tags);
  if (query.empty()) return keys_list(map);
  return retain(map, any_of_matches(map, query));
}

inline StrSet erase(Map& map, const std::string& key) {
  const Record& record = lookup_or_throw(map, key);
  GcPause pause;
  StrSet result = tagset_py(record.tags);
  erase_record(map, &record);
  return result;
}

/// Removes every record carrying all of `tags` (none for an empty set) and
/// returns their keys, converted before the first removal.
inline StrList erase_where(Map& map, const IterableArg& tags) {
  TagSet query = query_tags(map, tags);
  GcPause pause;
  RecordList matches = all_of_matches(map, query);
  StrList result = keys_list_py(matches);
  for (const Record* record : matches) map.erase(record);
  removed_some(map);
  return result;
}

}  // namespace vornic::py_binding

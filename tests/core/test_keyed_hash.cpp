// The keyed string hash: SipHash's known values, and that strings built to
// collide under the standard library's fixed-seed hash spread out under it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "keyed_hash.hpp"
#include "vornic.hpp"

namespace {

/// The bytes 0, 1, ..., n-1.
std::string counting_bytes(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i);
  return bytes;
}

TEST(KeyedHash, MatchesKnownValues) {
  // The SipHash authors' example: key 00..0f, message 00..0e, SipHash-2-4.
  const std::string key = counting_bytes(16);
  std::uint64_t k0 = 0, k1 = 0;
  std::memcpy(&k0, key.data(), 8);
  std::memcpy(&k1, key.data() + 8, 8);
  const std::string message = counting_bytes(15);
  EXPECT_EQ((vornic::sip_hash<2, 4>(k0, k1, message.data(), message.size())), 0xa129ca6149be45e5ULL);

  // SipHash-1-3 under the zero key is the interpreter's hash of bytes with
  // PYTHONHASHSEED=0: hash(bytes(range(n))) for each n, as unsigned.
  const std::vector<std::pair<std::size_t, std::uint64_t>> interpreter = {
      {1, 0x68a914128e01e473ULL},  {2, 0x010bac45c41e3669ULL},  {3, 0x4d4c9a4a8ef6e0adULL},
      {4, 0x7cc43f98813e4dbdULL},  {5, 0x5abe2169dff36275ULL},  {6, 0xe3c25f87624f1cdbULL},
      {7, 0x2f098ab0c751325aULL},  {8, 0xead411e67ebe2eeaULL},  {9, 0x75927f9d95124362ULL},
      {15, 0xf30eb725bb91c9eaULL}, {16, 0x8972188433a5c5b7ULL}, {17, 0x4883c49a2c009c1dULL},
  };
  for (const auto& [n, expected] : interpreter) {
    const std::string bytes = counting_bytes(n);
    EXPECT_EQ(vornic::sip_hash13(0, 0, bytes.data(), n), expected) << n << " bytes";
  }
}

// libstdc++ hashes a string 8 bytes at a time: state = (state ^ mix(block)) * mul,
// starting from seed ^ (length * mul), and mix is invertible.
constexpr std::uint64_t mul = 0xc6a4a7935bd1e995ULL;
constexpr std::uint64_t seed = 0xc70f6907ULL;

std::uint64_t shift_mix(std::uint64_t v) { return v ^ (v >> 47); }  // its own inverse, 47 >= 32
std::uint64_t mix(std::uint64_t block) { return shift_mix(block * mul) * mul; }

std::uint64_t inverse(std::uint64_t odd) {
  std::uint64_t x = odd;  // correct to 3 bits; each Newton step doubles that
  for (int i = 0; i < 5; ++i) x *= 2 - odd * x;
  return x;
}

std::uint64_t unmix(std::uint64_t value) {
  const std::uint64_t inv = inverse(mul);
  return shift_mix(value * inv) * inv;
}

bool printable(std::uint64_t block) {
  for (int i = 0; i < 8; ++i) {
    const auto c = static_cast<unsigned char>(block >> (8 * i));
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

/// 2^pairs printable strings of 16 * pairs bytes sharing one std::hash: each is
/// a sequence of two 16-byte blocks pairs, each pair leading the hash state
/// back to where it started.
std::vector<std::string> colliding_strings(int pairs) {
  const std::uint64_t start = seed ^ (16 * static_cast<std::uint64_t>(pairs) * mul);
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> character(0x20, 0x7e);
  std::vector<std::string> loops;
  while (loops.size() < 2) {
    std::uint64_t first = 0;
    for (int i = 0; i < 8; ++i) first |= static_cast<std::uint64_t>(character(rng)) << (8 * i);
    const std::uint64_t middle = (start ^ mix(first)) * mul;
    const std::uint64_t second = unmix(start * inverse(mul) ^ middle);
    if (!printable(second)) continue;  // about one try in 2,800 succeeds
    std::string loop(16, '\0');
    std::memcpy(&loop[0], &first, 8);  // little-endian, as libstdc++ loads them
    std::memcpy(&loop[8], &second, 8);
    loops.push_back(loop);
  }
  std::vector<std::string> result;
  for (unsigned bits = 0; bits < (1u << pairs); ++bits) {
    std::string s;
    for (int i = 0; i < pairs; ++i) s += loops[(bits >> i) & 1];
    result.push_back(s);
  }
  return result;
}

template <class Table>
std::size_t largest_bucket(const Table& table) {
  std::size_t largest = 0;
  for (std::size_t b = 0; b < table.bucket_count(); ++b) largest = std::max(largest, table.bucket_size(b));
  return largest;
}

/// Stores every string as a key tagged "t", and one more key tagged with all of
/// them; returns the sizes of the largest buckets of the key table, the tag
/// index and that key's tag set.
template <class Store>
std::vector<std::size_t> largest_buckets(const std::vector<std::string>& strings) {
  Store store;
  for (const std::string& s : strings) store.insert(s, {"t"});
  store.insert("all", typename Store::tag_set(strings.begin(), strings.end()));
  return {largest_bucket(store.objecttable), largest_bucket(store.tagindex),
          largest_bucket(store.objecttable.at("all").tags)};
}

TEST(KeyedHash, SpreadsStringsThatCollideUnderStdHash) {
  const std::vector<std::string> strings = colliding_strings(10);
#if defined(__GLIBCXX__)
  // The construction follows libstdc++'s string hash; other libraries hash
  // these strings apart, and only the keyed tables below are checked there.
  std::set<std::size_t> codes;
  for (const std::string& s : strings) codes.insert(std::hash<std::string>{}(s));
  ASSERT_EQ(codes.size(), 1u) << "the construction no longer matches the standard library's hash";

  using Plain = vornic::Vornic<std::string, std::string>;
  EXPECT_EQ(largest_buckets<Plain>(strings), std::vector<std::size_t>(3, strings.size()));
#endif
  using Keyed = vornic::Vornic<std::string, std::string, vornic::keyed_hash, vornic::keyed_hash>;
  vornic::keyed_hash::set_key(0x0123456789abcdefULL, 0xfedcba9876543210ULL);
  for (std::size_t largest : largest_buckets<Keyed>(strings)) EXPECT_LE(largest, 12u);
}

}  // namespace

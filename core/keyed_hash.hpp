// A keyed string hash, SipHash-1-3, for tables whose keys come from strangers.
//
// A fixed-seed hash lets anyone precompute strings that share one hash code
// and turn every table operation linear. With a key drawn once per process
// and kept secret, collisions cannot be planned. Free of Python: the binding
// layer derives the key from the interpreter's own hash secret.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

namespace vornic {

namespace sip_detail {

constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct state {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
};

/// The 8 bytes at `p` as a little-endian word.
inline std::uint64_t load_le64(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  word = __builtin_bswap64(word);
#endif
  return word;
}

/// The `rest` (below 8) bytes at `p` as a little-endian number, reading whole
/// words where they overlap bytes of the same string: `whole` says the 8 bytes
/// before p + rest are readable.
inline std::uint64_t load_tail(const unsigned char* p, std::size_t rest, bool whole) {
  if (rest == 0) return 0;
  if (whole) return load_le64(p + rest - 8) >> (8 * (8 - rest));
  auto byte = [p](std::size_t i) { return static_cast<std::uint64_t>(p[i]) << (8 * i); };
  if (rest < 4) return byte(0) | byte(rest / 2) | byte(rest - 1);
  std::uint32_t low, high;
  std::memcpy(&low, p, 4);
  std::memcpy(&high, p + rest - 4, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  low = __builtin_bswap32(low);
  high = __builtin_bswap32(high);
#endif
  return low | static_cast<std::uint64_t>(high) << (8 * (rest - 4));
}

}  // namespace sip_detail

/// SipHash-c-d of `size` bytes at `data` under the 128-bit key (k0, k1),
/// k0 holding the key's first eight bytes read little-endian.
template <int CompressionRounds, int FinalRounds>
std::uint64_t sip_hash(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t size) {
  sip_detail::state s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
                      k1 ^ 0x7465646279746573ULL};
  const auto* in = static_cast<const unsigned char*>(data);
  const unsigned char* const end = in + (size & ~std::size_t{7});
  auto absorb = [&s](std::uint64_t word) {
    s.v3 ^= word;
    for (int i = 0; i < CompressionRounds; ++i) s.round();
    s.v0 ^= word;
  };
  for (; in != end; in += 8) absorb(sip_detail::load_le64(in));
  // The last word: the remaining bytes, little-endian, under the length's low byte.
  absorb(sip_detail::load_tail(in, size & 7, size >= 8) | static_cast<std::uint64_t>(size) << 56);
  s.v2 ^= 0xff;
  for (int i = 0; i < FinalRounds; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

/// SipHash-1-3, the variant the interpreter itself uses for str and bytes.
inline std::uint64_t sip_hash13(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t size) {
  return sip_hash<1, 3>(k0, k1, data, size);
}

/// Hashes strings with SipHash-1-3 under one key shared by the whole process.
/// Set the key with set_key() before any table using this hasher is filled:
/// a table filled under another key no longer finds its entries.
///
/// operator() is deliberately not noexcept and the hasher is declared slow
/// (below), so that the standard library keeps caching each string's hash
/// code in its node instead of rehashing the string on every rehash and
/// probe.
struct keyed_hash {
  static inline std::uint64_t key0 = 0;
  static inline std::uint64_t key1 = 0;

  static void set_key(std::uint64_t k0, std::uint64_t k1) {
    key0 = k0;
    key1 = k1;
  }

  std::size_t operator()(const std::string& s) const {
    return static_cast<std::size_t>(sip_hash13(key0, key1, s.data(), s.size()));
  }
};

}  // namespace vornic

// libstdc++ stops caching hash codes, and skips its linear search of small
// tables, for a hasher it considers fast. The trait is its own; other
// standard libraries decide without it (libc++ always caches).
#if defined(__GLIBCXX__)
namespace std {
template <>
struct __is_fast_hash<vornic::keyed_hash> : false_type {};
}  // namespace std
#endif

// siphash.hpp - SipHash-1-3, the keyed hash of the id registry.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace movra::core {

/// A 128-bit SipHash key.
struct HashKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

namespace detail {

inline std::uint64_t load_le64(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() noexcept {
    v0 += v1, v1 = std::rotl(v1, 13), v1 ^= v0, v0 = std::rotl(v0, 32);
    v2 += v3, v3 = std::rotl(v3, 16), v3 ^= v2;
    v0 += v3, v3 = std::rotl(v3, 21), v3 ^= v0;
    v2 += v1, v1 = std::rotl(v1, 17), v1 ^= v2, v2 = std::rotl(v2, 32);
  }

  void absorb(std::uint64_t m) noexcept {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

}  // namespace detail

/// SipHash with one compression and three finalisation rounds: a keyed PRF,
/// so colliding ids cannot be found without the key, and cheap enough for the
/// short ids of a graph (a handful of rounds for ids under 16 bytes).
inline std::uint64_t siphash13(const HashKey& key, std::string_view data) noexcept {
  detail::SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
                     key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const char* p = data.data();
  std::size_t left = data.size();
  for (; left >= 8; left -= 8, p += 8) s.absorb(detail::load_le64(p));

  std::uint64_t last = static_cast<std::uint64_t>(data.size()) << 56;
  for (std::size_t i = 0; i < left; ++i)
    last |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  s.absorb(last);

  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace movra::core

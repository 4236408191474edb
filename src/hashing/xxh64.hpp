// xxh64.hpp - the XXH64 64-bit hash (seed 0 unless given), streamed.
//
// Written from the published description of the algorithm: four lanes of
// 64-bit accumulators consume 32-byte stripes; the tail is folded 8, 4 and 1
// bytes at a time; a final avalanche mixes the bits. Reads are little-endian.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace movra::hashing {

class Xxh64 {
 public:
  explicit Xxh64(std::uint64_t seed = 0) noexcept
      : lanes_{seed + kPrime1 + kPrime2, seed + kPrime2, seed, seed - kPrime1}, seed_(seed) {}

  void update(const void* data, std::size_t size) noexcept {
    auto* bytes = static_cast<const unsigned char*>(data);
    total_ += size;
    if (buffered_ + size < kStripe) {
      std::memcpy(buffer_ + buffered_, bytes, size);
      buffered_ += size;
      return;
    }
    if (buffered_ != 0) {  // complete the pending stripe first
      std::size_t fill = kStripe - buffered_;
      std::memcpy(buffer_ + buffered_, bytes, fill);
      consume(buffer_);
      bytes += fill;
      size -= fill;
      buffered_ = 0;
    }
    if (size >= kStripe) {
      const std::size_t bulk = size - size % kStripe;
      consume_all(bytes, bulk);
      bytes += bulk;
      size -= bulk;
    }
    std::memcpy(buffer_, bytes, size);
    buffered_ = size;
  }

  void put_byte(unsigned char byte) noexcept {
    if (buffered_ + 1 < kStripe) {  // the common case: no stripe completes
      buffer_[buffered_++] = byte;
      ++total_;
      return;
    }
    update(&byte, 1);
  }

  void put_u64(std::uint64_t value) noexcept {
    unsigned char bytes[8];
    store_le(bytes, value);
    update(bytes, 8);
  }

  /// The hash of everything given so far; the state stays usable.
  std::uint64_t digest() const noexcept {
    std::uint64_t h;
    if (total_ >= kStripe) {
      h = rotl(lanes_[0], 1) + rotl(lanes_[1], 7) + rotl(lanes_[2], 12) + rotl(lanes_[3], 18);
      for (std::uint64_t lane : lanes_) h = merge(h, lane);
    } else {
      h = seed_ + kPrime5;
    }
    h += total_;
    const unsigned char* p = buffer_;
    std::size_t left = buffered_;
    for (; left >= 8; p += 8, left -= 8) {
      h ^= round(0, load64(p));
      h = rotl(h, 27) * kPrime1 + kPrime4;
    }
    if (left >= 4) {
      h ^= std::uint64_t{load32(p)} * kPrime1;
      h = rotl(h, 23) * kPrime2 + kPrime3;
      p += 4;
      left -= 4;
    }
    for (; left > 0; ++p, --left) {
      h ^= *p * kPrime5;
      h = rotl(h, 11) * kPrime1;
    }
    return avalanche(h);
  }

  /// The hash of one contiguous block.
  static std::uint64_t of(const void* data, std::size_t size, std::uint64_t seed = 0) noexcept {
    Xxh64 state(seed);
    state.update(data, size);
    return state.digest();
  }

  static void store_le(unsigned char* out, std::uint64_t value) noexcept {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
  }

 private:
  static constexpr std::size_t kStripe = 32;
  static constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
  static constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
  static constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;
  static constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ULL;
  static constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ULL;

  static std::uint64_t rotl(std::uint64_t x, int r) noexcept { return (x << r) | (x >> (64 - r)); }

  static std::uint64_t load64(const unsigned char* p) noexcept {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    return value;
  }

  static std::uint32_t load32(const unsigned char* p) noexcept {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
  }

  static std::uint64_t round(std::uint64_t acc, std::uint64_t input) noexcept {
    acc += input * kPrime2;
    return rotl(acc, 31) * kPrime1;
  }

  static std::uint64_t merge(std::uint64_t acc, std::uint64_t lane) noexcept {
    acc ^= round(0, lane);
    return acc * kPrime1 + kPrime4;
  }

  static std::uint64_t avalanche(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= kPrime2;
    h ^= h >> 29;
    h *= kPrime3;
    h ^= h >> 32;
    return h;
  }

  void consume(const unsigned char* stripe) noexcept { consume_all(stripe, kStripe); }

  /// Whole stripes, with the lanes kept in registers.
  void consume_all(const unsigned char* p, std::size_t size) noexcept {
    std::uint64_t v1 = lanes_[0], v2 = lanes_[1], v3 = lanes_[2], v4 = lanes_[3];
    for (const unsigned char* end = p + size; p != end; p += kStripe) {
      v1 = round(v1, load64(p));
      v2 = round(v2, load64(p + 8));
      v3 = round(v3, load64(p + 16));
      v4 = round(v4, load64(p + 24));
    }
    lanes_[0] = v1, lanes_[1] = v2, lanes_[2] = v3, lanes_[3] = v4;
  }

  std::uint64_t lanes_[4];
  std::uint64_t seed_;
  std::uint64_t total_ = 0;
  unsigned char buffer_[kStripe] = {};
  std::size_t buffered_ = 0;
};

}  // namespace movra::hashing

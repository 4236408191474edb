// id_map.hpp - the id registry: an open-addressing table from id to node index.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "siphash.hpp"

namespace movra::core {

using NodeIndex = std::uint32_t;

/// Asks for the cache line at `address` ahead of its use.
inline void prefetch(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

/// Maps ids to node indices without keeping its own copy of the ids: a slot
/// holds the node index and 32 bits of the id's hash, and the id itself is
/// read from the node when the hash bits match.  Linear probing over a
/// power-of-two table kept at most three quarters full; entries are never
/// removed.  The hash is keyed per map, so a caller who does not know the key
/// cannot make ids collide on purpose.
class IdMap {
 public:
  /// Where an id is, or where it would go.
  struct Probe {
    std::optional<NodeIndex> found;
    std::uint32_t tag;
  };

  explicit IdMap(HashKey key) noexcept : key_(key) {}

  std::size_t size() const noexcept { return size_; }

  /// Looks `id` up; `id_of(index)` must give the id registered for an index.
  template <class IdOf>
  Probe probe(std::string_view id, const IdOf& id_of) const noexcept {
    const std::uint32_t tag = tag_of(id);
    if (size_ == 0) return {std::nullopt, tag};
    return {finish(id, tag, tag & mask(), id_of), tag};
  }

  /// The same lookup without the tag; an empty map answers without hashing.
  template <class IdOf>
  std::optional<NodeIndex> find(std::string_view id, const IdOf& id_of) const noexcept {
    if (size_ == 0) return std::nullopt;
    const std::uint32_t tag = tag_of(id);
    return finish(id, tag, tag & mask(), id_of);
  }

  /// Looks up every id of `ids` into `found`.  Each id costs a few cache
  /// misses at most (its slot, the node holding the id); doing the hashing
  /// and the first loads of a batch before any comparison lets those misses
  /// overlap instead of queueing one behind the other.  `touch(index)` hints
  /// that the id of node `index` is about to be compared.
  template <class IdOf, class Touch>
  void find_all(std::span<const std::string_view> ids, std::optional<NodeIndex>* found,
                const IdOf& id_of, const Touch& touch) const noexcept {
    constexpr std::size_t kBatch = 16;
    std::uint32_t tags[kBatch];
    std::size_t at[kBatch];
    for (std::size_t first = 0; first < ids.size(); first += kBatch) {
      const std::size_t count = std::min(kBatch, ids.size() - first);
      if (size_ == 0) {
        std::fill_n(found + first, count, std::nullopt);
        continue;
      }
      for (std::size_t k = 0; k < count; ++k) {
        tags[k] = tag_of(ids[first + k]);
        at[k] = tags[k] & mask();
        prefetch(&slots_[at[k]]);
      }
      for (std::size_t k = 0; k < count; ++k) {
        while (slots_[at[k]].index_plus_one != 0 && slots_[at[k]].tag != tags[k])
          at[k] = (at[k] + 1) & mask();
        if (slots_[at[k]].index_plus_one != 0) touch(slots_[at[k]].index_plus_one - 1);
      }
      for (std::size_t k = 0; k < count; ++k)
        found[first + k] = finish(ids[first + k], tags[k], at[k], id_of);
    }
  }

  /// Adds an id that `probe` did not find.
  void insert(const Probe& absent, NodeIndex index);

 private:
  struct Slot {
    std::uint32_t tag;
    std::uint32_t index_plus_one;  // 0 marks an empty slot
  };

  /// Probes for `id` from slot `at` on; the slots before `at` on its probe
  /// path must hold other ids.
  template <class IdOf>
  std::optional<NodeIndex> finish(std::string_view id, std::uint32_t tag, std::size_t at,
                                  const IdOf& id_of) const noexcept {
    for (; ; at = (at + 1) & mask()) {
      const Slot slot = slots_[at];
      if (slot.index_plus_one == 0) return std::nullopt;
      if (slot.tag == tag && id_of(slot.index_plus_one - 1) == id) return slot.index_plus_one - 1;
    }
  }

  std::uint32_t tag_of(std::string_view id) const noexcept {
    return static_cast<std::uint32_t>(siphash13(key_, id) >> 32);
  }
  std::size_t mask() const noexcept { return slots_.size() - 1; }
  void place(Slot slot) noexcept;
  void grow();

  HashKey key_;
  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace movra::core

// id_map.hpp - the id registry: an open-addressing table from id to node index.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "siphash.hpp"

namespace movra::core {

using NodeIndex = std::uint32_t;

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
    for (std::size_t at = tag & mask(); ; at = (at + 1) & mask()) {
      const Slot slot = slots_[at];
      if (slot.index_plus_one == 0) return {std::nullopt, tag};
      if (slot.tag == tag && id_of(slot.index_plus_one - 1) == id)
        return {slot.index_plus_one - 1, tag};
    }
  }

  template <class IdOf>
  std::optional<NodeIndex> find(std::string_view id, const IdOf& id_of) const noexcept {
    if (size_ == 0) return std::nullopt;
    return probe(id, id_of).found;
  }

  /// Adds an id that `probe` did not find.
  void insert(const Probe& absent, NodeIndex index);

 private:
  struct Slot {
    std::uint32_t tag;
    std::uint32_t index_plus_one;  // 0 marks an empty slot
  };

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

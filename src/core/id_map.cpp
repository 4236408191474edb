// id_map.cpp - growth of the id registry.
#include "id_map.hpp"

namespace movra::core {

void IdMap::insert(const Probe& absent, NodeIndex index) {
  if ((size_ + 1) * 4 > slots_.size() * 3) grow();
  place({absent.tag, index + 1});
  ++size_;
}

void IdMap::place(Slot slot) noexcept {
  std::size_t at = slot.tag & mask();
  while (slots_[at].index_plus_one != 0) at = (at + 1) & mask();
  slots_[at] = slot;
}

// The slot's tag is the whole bucket address (tables stay below 2^32 slots),
// so growing moves slots without hashing any id again.
void IdMap::grow() {
  std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2);
  old.swap(slots_);
  for (const Slot& slot : old)
    if (slot.index_plus_one != 0) place(slot);
}

}  // namespace movra::core

// dep_list.hpp - a node's dependency list, inline while it is short.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <utility>

#include "id_map.hpp"

namespace movra::core {

/// The dependencies of one node.  Most nodes have a handful, which are kept
/// inside the node itself, so reading them costs no second cache miss and
/// declaring them no allocation; longer lists live on the heap.
class DepList {
 public:
  static constexpr std::uint32_t kInline = 4;

  DepList() noexcept = default;
  DepList(DepList&& other) noexcept : size_(other.size_), storage_(other.storage_) {
    other.size_ = 0;
  }
  DepList& operator=(DepList&& other) noexcept {
    DepList(std::move(other)).swap(*this);
    return *this;
  }
  DepList(const DepList&) = delete;
  DepList& operator=(const DepList&) = delete;
  ~DepList() {
    if (size_ > kInline) delete[] storage_.heap;
  }

  /// A list holding `deps`; may throw std::bad_alloc.
  static DepList of(std::span<const NodeIndex> deps) {
    DepList list;
    if (deps.size() > kInline) {
      list.storage_.heap = new NodeIndex[deps.size()];
      std::copy(deps.begin(), deps.end(), list.storage_.heap);
    } else {
      std::copy(deps.begin(), deps.end(), list.storage_.inline_);
    }
    list.size_ = static_cast<std::uint32_t>(deps.size());
    return list;
  }

  std::span<const NodeIndex> view() const noexcept {
    return {size_ > kInline ? storage_.heap : storage_.inline_, size_};
  }
  std::size_t size() const noexcept { return size_; }
  auto begin() const noexcept { return view().begin(); }
  auto end() const noexcept { return view().end(); }

  void swap(DepList& other) noexcept {
    std::swap(size_, other.size_);
    std::swap(storage_, other.storage_);
  }

 private:
  std::uint32_t size_ = 0;
  union Storage {
    NodeIndex inline_[kInline];
    NodeIndex* heap;
  } storage_{};
};

}  // namespace movra::core

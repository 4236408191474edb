// error.hpp - GraphError, the kernel's account of a failed operation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace movra::core {

/// Why a kernel operation failed.  Each variant keeps the ids its message
/// needs; message() renders the text the user sees.
class GraphError {
 public:
  enum class Kind : std::uint8_t {
    DuplicateNode,
    UnknownNode,
    SelfDependency,
    InvalidKind,
    NotBuilt,
    Cycle,
  };

  static GraphError duplicate_node(std::string_view id);
  static GraphError unknown_node(std::string_view id);
  static GraphError self_dependency(std::string_view id);
  static GraphError invalid_kind(std::string_view kind);
  static GraphError not_built();
  static GraphError cycle(std::vector<std::string> unplaced);

  Kind kind() const noexcept { return kind_; }
  /// The id (or kind) of the single-payload variants, every unplaced id of
  /// Cycle, nothing for NotBuilt.
  const std::vector<std::string>& payload() const noexcept { return payload_; }
  std::string message() const;

 private:
  GraphError(Kind kind, std::vector<std::string> payload) noexcept
      : kind_(kind), payload_(std::move(payload)) {}

  Kind kind_;
  std::vector<std::string> payload_;
};

/// `text` between double quotes, with backslash escapes for quotes,
/// backslashes, control, format, separator, private-use, unassigned and
/// grapheme-extending characters, so that every id reads unambiguously.
std::string quoted(std::string_view text);

}  // namespace movra::core

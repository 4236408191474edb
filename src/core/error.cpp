// error.cpp - messages of GraphError and the quoted form of ids.
#include "error.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace movra::core {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

constexpr CodePointRange kEscapedRanges[] = {
#include "unicode_escapes.inc"
};

bool needs_escape(char32_t cp) noexcept {
  if (cp < 0x80) return cp < 0x20 || cp == 0x7F;
  const auto* end = std::end(kEscapedRanges);
  const auto* it = std::upper_bound(std::begin(kEscapedRanges), end, cp,
                                    [](char32_t c, const CodePointRange& r) { return c < r.first; });
  return it != std::begin(kEscapedRanges) && cp <= std::prev(it)->last;
}

void append_hex(std::string& out, std::uint32_t value) {
  constexpr char kDigits[] = "0123456789abcdef";
  char buffer[8];
  int n = 0;
  do {
    buffer[n++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (n > 0) out += buffer[--n];
}

struct Decoded {
  char32_t cp;
  std::size_t length;  // 0: the byte at the front starts no valid sequence
};

// Decodes one UTF-8 sequence.  Ids from Python are always valid UTF-8, but the
// kernel takes arbitrary bytes, so a malformed byte is reported rather than
// trusted.  Encoded surrogates are decoded so that they are escaped as such.
Decoded decode(std::string_view s) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1};
  std::size_t length;
  char32_t cp;
  char32_t min;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    return {0, 0};
  }
  if (s.size() < length) return {0, 0};
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return {0, 0};
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF) return {0, 0};
  return {cp, length};
}

}  // namespace

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  while (!text.empty()) {
    const Decoded d = decode(text);
    if (d.length == 0) {
      out += "\\x{";
      append_hex(out, static_cast<unsigned char>(text.front()));
      out += '}';
      text.remove_prefix(1);
      continue;
    }
    switch (d.cp) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (needs_escape(d.cp)) {
          out += "\\u{";
          append_hex(out, d.cp);
          out += '}';
        } else {
          out.append(text.substr(0, d.length));
        }
    }
    text.remove_prefix(d.length);
  }
  out += '"';
  return out;
}

GraphError GraphError::duplicate_node(std::string_view id) {
  return {Kind::DuplicateNode, {std::string(id)}};
}

GraphError GraphError::unknown_node(std::string_view id) {
  return {Kind::UnknownNode, {std::string(id)}};
}

GraphError GraphError::self_dependency(std::string_view id) {
  return {Kind::SelfDependency, {std::string(id)}};
}

GraphError GraphError::invalid_kind(std::string_view kind) {
  return {Kind::InvalidKind, {std::string(kind)}};
}

GraphError GraphError::not_built() { return {Kind::NotBuilt, {}}; }

GraphError GraphError::cycle(std::vector<std::string> unplaced) {
  return {Kind::Cycle, std::move(unplaced)};
}

std::string GraphError::message() const {
  switch (kind_) {
    case Kind::DuplicateNode:
      return "node already registered: " + quoted(payload_.front());
    case Kind::UnknownNode:
      return "unknown node: " + quoted(payload_.front());
    case Kind::SelfDependency:
      return "node " + quoted(payload_.front()) + " cannot depend on itself";
    case Kind::InvalidKind:
      return "invalid node kind " + quoted(payload_.front()) +
             " (expected input|source|reactive|view)";
    case Kind::NotBuilt:
      return "graph has not been built; call build() after registering nodes";
    case Kind::Cycle: {
      std::string text = "dependency cycle detected involving: ";
      for (std::size_t i = 0; i < payload_.size(); ++i) {
        if (i != 0) text += ", ";
        text += payload_[i];
      }
      return text;
    }
  }
  return "unrecognised graph error";
}

}  // namespace movra::core

// graph.cpp - the node registry, state transitions and the recompute decision.
#include "graph.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <unordered_set>

namespace movra::core {
namespace {

constexpr std::string_view kKindNames[] = {"input", "source", "reactive", "view"};
constexpr std::string_view kStateNames[] = {"clean", "dirty", "computing"};

// Drawing from the system's random source costs tens of microseconds on some
// machines, more than everything else a new graph does, so the process draws
// one key once; each graph's key is that key's PRF of a counter: as
// unpredictable as a fresh draw to whoever does not know the process key, and
// different for every graph.
HashKey process_key() {
  static const HashKey key = [] {
    std::random_device source;
    const auto draw64 = [&] {
      return (static_cast<std::uint64_t>(source()) << 32) | static_cast<std::uint32_t>(source());
    };
    return HashKey{draw64(), draw64()};
  }();
  return key;
}

HashKey graph_key() {
  static std::atomic<std::uint64_t> graphs{0};
  const HashKey& key = process_key();
  const std::uint64_t serial = graphs.fetch_add(1, std::memory_order_relaxed);
  const auto derive = [&](std::uint64_t lane) {
    char message[16];
    std::memcpy(message, &serial, 8);
    std::memcpy(message + 8, &lane, 8);
    return siphash13(key, std::string_view(message, sizeof message));
  };
  return {derive(0), derive(1)};
}

// Short dependency lists are de-duplicated by scanning what was kept so far,
// which is the cheapest way for the few deps a node usually has; beyond this
// length a set keeps set_deps linear.
constexpr std::size_t kScanLimit = 32;

}  // namespace

// Total, like everything that turns a stored byte into text: a code outside
// the table names nothing rather than reading past it.
template <std::size_t N>
std::string_view name_in(const std::string_view (&names)[N], std::size_t code) noexcept {
  return code < N ? names[code] : std::string_view();
}

std::string_view name(NodeKind kind) noexcept { return name_in(kKindNames, static_cast<std::size_t>(kind)); }
std::string_view name(NodeState state) noexcept { return name_in(kStateNames, static_cast<std::size_t>(state)); }

std::optional<NodeKind> parse_kind(std::string_view name) noexcept {
  for (std::size_t i = 0; i < std::size(kKindNames); ++i)
    if (kKindNames[i] == name) return static_cast<NodeKind>(i);
  return std::nullopt;
}

Graph::Graph() : index_(graph_key()) {}

std::optional<NodeIndex> Graph::find(std::string_view id) const noexcept {
  return index_.find(id, id_reader());
}

std::vector<std::optional<NodeIndex>> Graph::find_all(std::span<const std::string_view> ids) const {
  std::vector<std::optional<NodeIndex>> found(ids.size());
  index_.find_all(ids, found.data(), id_reader(),
                  [this](NodeIndex i) { prefetch(nodes_[i].id.data()); });
  return found;
}

Result<NodeIndex> Graph::idx(std::string_view id) const {
  if (auto i = find(id)) return *i;
  return GraphError::unknown_node(id);
}

Status Graph::add_node(std::string_view id, std::string_view kind) {
  const auto probe = index_.probe(id, id_reader());
  if (probe.found) return GraphError::duplicate_node(id);
  const auto parsed = parse_kind(kind);
  if (!parsed) return GraphError::invalid_kind(kind);
  // Indices are 32-bit; a graph this large would not fit in memory anyway.
  if (nodes_.size() >= std::numeric_limits<NodeIndex>::max() - 1)
    throw std::length_error("graph cannot hold more nodes");

  // Everything that can throw comes before the first change: room in every
  // per-node array, the id, the registry entry; the appends then cannot fail.
  reserve_for_one_more();
  Node added;
  added.id.assign(id);
  added.kind = *parsed;
  index_.insert(probe, static_cast<NodeIndex>(nodes_.size()));
  nodes_.push_back(std::move(added));
  states_.push_back(NodeState::Dirty);
  stamps_.push_back(0);
  built_ = false;
  return Done{};
}

// Each array is checked on its own: a call that ran out of memory may have
// grown some of them and not the others, and a retry must finish the job.
void Graph::reserve_for_one_more() {
  const std::size_t needed = nodes_.size() + 1;
  const std::size_t capacity =
      nodes_.capacity() >= needed ? nodes_.capacity() : nodes_.size() * 2 + 16;
  nodes_.reserve(capacity);
  states_.reserve(capacity);
  stamps_.reserve(capacity);
}

Status Graph::set_deps(std::string_view id, std::span<const std::string_view> deps) {
  // The node and its entries are looked up together, then judged in order:
  // an unknown node first, then the first entry that names the node itself
  // or no node.
  std::vector<std::string_view> wanted;
  wanted.reserve(deps.size() + 1);
  wanted.push_back(id);
  wanted.insert(wanted.end(), deps.begin(), deps.end());
  const auto found_all = find_all(wanted);
  const auto target = found_all[0];
  if (!target) return GraphError::unknown_node(id);
  const std::optional<NodeIndex>* found = found_all.data() + 1;

  std::vector<NodeIndex> resolved;
  resolved.reserve(deps.size());
  std::unordered_set<NodeIndex> seen;
  for (std::size_t k = 0; k < deps.size(); ++k) {
    if (deps[k] == id) return GraphError::self_dependency(id);
    if (!found[k]) return GraphError::unknown_node(deps[k]);
    const NodeIndex d = *found[k];
    const bool repeated = deps.size() <= kScanLimit
                              ? std::find(resolved.begin(), resolved.end(), d) != resolved.end()
                              : !seen.insert(d).second;
    if (!repeated) resolved.push_back(d);
  }
  nodes_[*target].deps = DepList::of(resolved);
  built_ = false;
  return Done{};
}

IdList Graph::node_ids() const {
  std::vector<NodeIndex> all(nodes_.size());
  std::iota(all.begin(), all.end(), NodeIndex{0});
  return {*this, std::move(all)};
}

Result<NodeKind> Graph::kind_of(std::string_view id) const {
  auto i = idx(id);
  if (!i) return std::move(i.error());
  return nodes_[*i].kind;
}

Result<NodeState> Graph::state_of(std::string_view id) const {
  auto i = idx(id);
  if (!i) return std::move(i.error());
  return states_[*i];
}

Result<IdList> Graph::deps_of(std::string_view id) const {
  auto i = idx(id);
  if (!i) return std::move(i.error());
  const auto deps = nodes_[*i].deps.view();
  return IdList(*this, {deps.begin(), deps.end()});
}

// State transitions write their fields unconditionally: the caller sequences
// them, and none depends on the node's kind, state or the built flag.

Status Graph::set_state(std::string_view id, NodeState state) {
  auto i = idx(id);
  if (!i) return std::move(i.error());
  states_[*i] = state;
  ++id_writes_;
  return Done{};
}

Status Graph::set_dirty(std::string_view id) { return set_state(id, NodeState::Dirty); }

Status Graph::set_computing(std::string_view id) { return set_state(id, NodeState::Computing); }

Result<NodeIndex> Graph::make_clean(std::string_view id, std::uint64_t signature) {
  auto i = idx(id);
  if (!i) return i;
  make_clean(*i, signature);
  ++id_writes_;
  return *i;
}

Status Graph::set_clean(std::string_view id, std::uint64_t hash) {
  auto i = make_clean(id, hash);
  if (!i) return std::move(i.error());
  return Done{};
}

Status Graph::skip_node(std::string_view id, std::uint64_t signature) {
  return set_clean(id, signature);
}

// An epoch only reaches dependents' signatures for nodes that are not
// inputs, and a content hash only for inputs: each node keeps the one its
// kind makes visible, so a commit of the other sort changes no stamp.

Status Graph::commit_node(std::string_view id, std::uint64_t signature) {
  auto i = make_clean(id, signature);
  if (!i) return std::move(i.error());
  ++clock_;  // wraps modulo 2^64 by the rules of unsigned arithmetic
  if (nodes_[*i].kind != NodeKind::Input) stamps_[*i] = clock_;
  return Done{};
}

Status Graph::commit_input(std::string_view id, std::uint64_t content_hash) {
  auto i = make_clean(id, content_hash);
  if (!i) return std::move(i.error());
  if (nodes_[*i].kind == NodeKind::Input) stamps_[*i] = content_hash;
  return Done{};
}

std::uint64_t Graph::dependency_signature(const Node& node) const noexcept {
  std::uint64_t h = kSignatureSeed;
  for (const NodeIndex d : node.deps) h = (h ^ stamps_[d]) * kSignaturePrime;
  return h;
}

Result<bool> Graph::needs_recompute(std::string_view id, std::uint64_t input_hash) const {
  auto i = idx(id);
  if (!i) return std::move(i.error());
  const Node& node = nodes_[*i];
  return !(node.has_signature && node.signature == input_hash);
}

Result<Check> Graph::check_node(std::string_view id) const {
  auto i = idx(id);
  if (!i) return std::move(i.error());
  const Node& checked = nodes_[*i];
  const std::uint64_t signature = dependency_signature(checked);
  return Check{checked.kind, !(checked.has_signature && checked.signature == signature),
               signature};
}

}  // namespace movra::core

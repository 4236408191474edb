// engine.hpp - the run engine: every node's definition and state, and the one
// place that decides what a run does with each node.
//
// A flow's nodes live here, in declaration order, each with what the flow
// remembers of it (value, content hash, memo, flags, last error).  The
// kernel graph (a movra._movra.Graph object, reached through its core) keeps
// states and signatures; the engine drives it by node index.  Every change
// that must happen together happens inside one call into this module, with
// the GIL held, and with any Python code it must run (a freeze, a store
// lookup) run before the first write; so an interrupt, which Python delivers
// only between bytecodes, never cuts one in half.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common.hpp"
#include "core/graph.hpp"

namespace movra::engine {

using core::NodeIndex;

enum class Kind : std::uint8_t { Input, Source, Reactive, View };

/// What a computed node's last success was computed from: its code version,
/// the dependency list it had then, and their content hashes.
struct Memo {
  bool valid = false;
  Ref version;  // str
  Ref deps;     // tuple of str
  std::vector<std::uint64_t> hashes;
};

struct Node {
  // The definition: a movra._declare.Node, and what is read from it.
  std::string id;
  Ref name;  // the same, as a str
  Ref definition;
  Kind kind = Kind::Input;
  Ref func;
  Ref deps;  // tuple of str
  std::vector<std::string> dep_ids;
  bool by_position = true;  // else `positional` and `keywords` place the values
  std::vector<Py_ssize_t> positional;
  std::vector<std::pair<Ref, Py_ssize_t>> keywords;
  Ref version;  // str
  bool hashed = true, cutoff = true, is_async = false;

  // What the flow remembers.
  Ref value;  // null: none yet
  std::uint64_t hash = 0;
  Memo memo, previous;
  bool forced = false;  // runs next time whatever the kernel and the memo say
  Ref failure;          // of the last attempt, if it failed
  bool has_committed = false;  // inputs: the hash the kernel was last told
  std::uint64_t committed = 0;
  Ref before;  // inputs: the value the last run committed, kept for watchers

  // The current build.
  bool in_graph = false;
  NodeIndex index = 0;
  std::vector<Node*> inputs;
  bool storable = false;

  // The current run (valid while `run` is its number).
  std::uint64_t run = 0;
  std::size_t position = 0;
  bool unusable = false;
};

/// A set() or refresh() waiting for the lock.
struct Change {
  Ref name;
  bool refresh = false;
  Ref value;
  bool hashed = true;
  std::uint64_t hash = 0;
};

class Engine {
 public:
  Engine(Ref hasher, Ref missing, Ref support) noexcept;
  ~Engine();
  bool init();

  // The lock, held by a run and by a change of structure.
  bool acquire(bool blocking, const char* reentered);
  /// Applies what was queued meanwhile, then lets the lock go.
  bool release();
  bool held_here() const noexcept;

  // Definitions.
  Node* find(PyObject* name);  // null, with an error set only if `name` is not a str
  Node* find(std::string_view id);
  bool declare(PyObject* definition);
  bool update_function(PyObject* name, PyObject* func, bool is_async);
  bool remove(PyObject* names);
  PyObject* names() const;
  PyObject* definitions() const;
  /// (name, dependency) of each node whose first bad dependency is unknown or itself.
  PyObject* bad_dependencies();
  std::size_t size() const noexcept { return order_.size(); }

  // Building.
  PyObject* rebuild(PyObject* broken);
  bool stale() const noexcept { return stale_; }
  PyObject* broken() const noexcept { return broken_.get(); }
  PyObject* graph() const noexcept { return graph_.get(); }
  const std::vector<Node*>& at() const noexcept { return at_; }

  // Changes.
  bool enqueue(std::vector<Change>&& changes);
  bool drop(PyObject* names);
  bool mark_dirty(const std::vector<Node*>& seeds);
  /// Notes nodes the engine made dirty, so that a run finds what to do
  /// without reading every node's state.
  void note_dirty(std::span<const NodeIndex> nodes);
  /// The nodes noted dirty since the last call (a superset of the dirty
  /// ones, or everything when too many were noted to be worth listing).
  std::vector<NodeIndex> take_dirty_hint(const core::Graph& kernel, bool& everything);

  // Reading.
  PyObject* value(PyObject* name);
  PyObject* info(PyObject* name);

  // For runs.
  std::uint64_t token() noexcept { return tokens_++; }
  std::uint64_t next_run() noexcept { return ++runs_; }
  bool watched(const Node& node);
  void set_watchers(PyObject* watchers) { watchers_ = Ref::borrow(watchers); }
  PyObject* hasher() const noexcept { return hasher_.get(); }
  PyObject* support() const noexcept { return support_.get(); }
  PyObject* missing() const noexcept { return missing_.get(); }

  int traverse(visitproc visit, void* arg) const;
  void clear() noexcept;

 private:
  bool read_definition(PyObject* definition, Node& node) const;
  void link(Node& node, std::span<const NodeIndex> deps, const std::vector<Node*>& at);
  bool restore(core::Graph& g, const std::vector<Node*>& at) const;
  bool apply(std::vector<Change>& changes);

  Ref hasher_, missing_, support_;
  Ref graph_;  // null until the first build
  Ref broken_;
  Ref watchers_;
  bool stale_ = true;
  std::vector<std::unique_ptr<Node>> order_;
  std::unordered_map<std::string_view, Node*> by_id_;
  std::vector<Node*> at_;  // kernel index -> node, for the current build
  PyThread_type_lock turnstile_ = nullptr;
  unsigned long owner_ = 0;
  std::vector<Change> queue_;
  std::vector<NodeIndex> dirty_hint_;
  std::uint64_t id_writes_seen_ = 0;  // the kernel's count when the hint was last taken
  bool hint_overflow_ = true;  // a new build: every node may be dirty
  std::uint64_t tokens_ = 0xA5A5'0000'0000'0000ULL;
  std::uint64_t runs_ = 0;
};

/// (version, deps, hashes), or None.
Ref memo_tuple(const Memo& memo);

/// Whether `node`'s memo was recorded by its current code and dependencies.
bool memo_current(const Node& node);

/// The content hash of `value` through the native hasher; false with an
/// error set when it cannot be hashed.
bool content_hash(const Engine& engine, PyObject* value, std::uint64_t* out);

}  // namespace movra::engine

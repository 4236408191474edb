// run.hpp - one run: its schedule, and the decision path every backend shares.
//
// A run walks the dirty nodes (or what some targets need) in topological
// order.  `decide` settles a node on the spot (an input's commit, a block, a
// memo hit, a load from the store, a failure) or makes it a job: a call for a
// backend to make.  The inline backend makes the calls here; the others take
// jobs with `ready` and hand back each call's value (`complete`) or error
// (`fail`).  Whatever escapes (an interrupt, a cancelled task) leaves the
// flow as a failure does: `exit` forces every node in flight to run again
// and moves its epoch, so that its dependents compare contents before
// trusting it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "engine.hpp"

namespace movra::engine {

enum class Outcome : std::uint8_t { None, Input, Recomputed, Loaded, CutOff, MemoHit, Failed, Blocked };

struct RunOptions {
  bool allow_async = false;     // async functions are awaited by the backend
  bool check_mutation = false;  // re-hash arguments after each call
  bool blocking = true;         // wait for the lock, or refuse at once
  Ref store;                    // an object with load(definition, hashes) and save(...), or null
  Ref fetch;                    // brings values kept elsewhere to this process, or null
  Ref emit;                     // emit(kind, name, seconds, error) per decision, or null
};

/// What a run knows of one scheduled node.
struct Slot {
  Ref name;  // the node's, kept so that the report outlives the lock (and any removal after it)
  Outcome outcome = Outcome::None;
  bool in_flight = false;
  bool timed = false;
  double started = 0, seconds = 0;
  std::uint64_t signature = 0;
  std::vector<std::uint64_t> hashes;  // of the dependencies' values it was given
  Ref values;                         // tuple of those values
  Ref failure;
};

class Run {
 public:
  Run(Engine& engine, RunOptions options) noexcept : engine_(engine), options_(std::move(options)) {}

  bool enter();
  /// Leaves the flow consistent whatever happened, then lets the lock go.
  bool exit();
  bool entered() const noexcept { return entered_; }

  /// Schedules the dirty nodes, or those the targets (a list of names) need.
  bool start(PyObject* targets);
  bool run_inline();

  /// Settles every ready node that needs no call; the jobs for the rest, each
  /// (token, definition, args, kwargs or None).
  PyObject* ready();
  bool complete(std::size_t token, PyObject* value, PyObject* hash);
  bool fail(std::size_t token, PyObject* error);
  /// Whether nothing is ready or running any more.
  bool finished() const noexcept { return ready_.empty() && in_flight_ == 0; }
  std::size_t in_flight() const noexcept { return in_flight_; }
  std::size_t computed() const noexcept;
  /// The content hashes a job's arguments had when it was made.
  PyObject* expected(std::size_t token);

  // For a backend that keeps values elsewhere (Dask).
  bool lose(PyObject* name, PyObject* error);
  bool spoil(PyObject* name);

  /// (inputs, recomputed, loaded, cut_off, memo_hits, failed, blocked, seconds,
  /// changes), each list in topological order.
  PyObject* outcome();

  int traverse(visitproc visit, void* arg) const;

 private:
  enum class Step { Settled, Call, Abort };

  Step decide(std::size_t pos);
  bool call_inline(std::size_t pos);
  bool finish(std::size_t pos, Ref value, std::uint64_t hash, bool loaded);
  bool finish_failure(std::size_t pos, Ref error, bool check = true);
  bool settle_failure(std::size_t pos, Ref error);
  bool check_arguments(std::size_t pos, Ref& error);
  bool spoil(Node& node);
  void settled(std::size_t pos);
  void prepare_concurrency();
  bool change(Node& node, PyObject* old, PyObject* now);
  /// Tells the run's hooks of a decision; false only for what must end the run.
  bool emit(PyObject* kind, const Node& node, const Slot* timed = nullptr, PyObject* error = nullptr);
  Slot* job(std::size_t token);
  bool scheduled(const Node& node) const noexcept {
    return node.run == number_ && node.position < schedule_.size() && schedule_[node.position] == &node;
  }
  PyObject* arguments(const Node& node, const Slot& slot, Ref& kwargs) const;

  Engine& engine_;
  RunOptions options_;
  std::uint64_t number_ = 0;
  bool entered_ = false;
  std::vector<Node*> schedule_;
  std::vector<Slot> slots_;
  std::size_t in_flight_ = 0;
  std::vector<std::pair<Ref, Ref>> lost_;  // (name, error) of nodes failed outside the schedule
  Ref changes_;                            // list of (name, old, new) for watchers
  // Concurrent backends: dependency counting over the schedule.
  bool concurrent_ = false;
  std::vector<std::uint32_t> waiting_;
  std::vector<std::vector<std::uint32_t>> dependents_;
  std::vector<std::size_t> ready_;  // a min-heap of positions
};

}  // namespace movra::engine

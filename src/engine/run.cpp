// run.cpp - one run's walk, and the decision path every backend shares.
#include "run.hpp"

#include <algorithm>
#include <functional>
#include <string>

#include "graph_object.hpp"

namespace movra::engine {
namespace {

/// Exclusive access to the kernel graph for one step; a step runs no Python
/// code while it holds it, so node functions may read the graph freely.
class Kernel {
 public:
  explicit Kernel(PyObject* graph) noexcept : borrow_(graph, py::Access::Exclusive) {}
  explicit operator bool() const noexcept { return static_cast<bool>(borrow_); }
  core::Graph* operator->() const noexcept { return &borrow_.graph(); }

 private:
  py::Borrow borrow_;
};

std::string quoted(const Node& node) { return core::quoted(node.id); }

const char* const kReentered =
    "this flow is already running in this thread (a node function cannot run its own flow)";

}  // namespace

// ---------------------------------------------------------------------------
// Entering and leaving.

bool Run::enter() {
  if (entered_) return raise(PyExc_RuntimeError, "a run is entered once");
  if (!engine_.acquire(options_.blocking, kReentered)) return false;  // an error, or busy and told not to wait
  entered_ = true;
  number_ = engine_.next_run();
  changes_ = Ref::steal(PyList_New(0));
  if (!changes_) {
    exit();
    return false;
  }
  return true;
}

bool Run::exit() {
  if (!entered_) return true;
  entered_ = false;
  if (in_flight_ != 0 && engine_.graph() != nullptr) {
    Kernel kernel(engine_.graph());
    for (std::size_t pos = 0; pos < slots_.size(); ++pos) {
      Slot& slot = slots_[pos];
      if (!slot.in_flight) continue;
      Node& node = *schedule_[pos];
      node.forced = true;
      if (kernel) {
        kernel->commit(node.index, slot.signature);  // a new epoch: dependents compare contents
        kernel->set_state(node.index, core::NodeState::Dirty);
      }
      slot.in_flight = false;
    }
    in_flight_ = 0;
    PyErr_Clear();  // a refused borrow: the states were left dirty by the walk already
  }
  // Values stay with the flow; what the run held for its jobs goes.
  for (Slot& slot : slots_) slot.values = Ref();
  return engine_.release();
}

// ---------------------------------------------------------------------------
// The schedule.

bool Run::start(PyObject* targets) {
  if (!entered_) return raise(PyExc_RuntimeError, "the run is not entered");
  const std::vector<Node*>& at = engine_.at();
  bool everything = false;
  std::vector<NodeIndex> dirty;
  {
    Kernel kernel(engine_.graph());
    if (!kernel) return false;
    std::vector<NodeIndex> hint = engine_.take_dirty_hint(*kernel.operator->(), everything);
    const auto order = kernel->order();
    if (everything) {
      for (const NodeIndex i : order)
        if (kernel->state(i) != core::NodeState::Clean) dirty.push_back(i);
    } else {
      const auto position = kernel->position();
      std::sort(hint.begin(), hint.end(), [&](NodeIndex a, NodeIndex b) { return position[a] < position[b]; });
      hint.erase(std::unique(hint.begin(), hint.end()), hint.end());
      for (const NodeIndex i : hint)
        if (kernel->state(i) != core::NodeState::Clean) dirty.push_back(i);
    }
  }
  engine_.note_dirty(dirty);  // until the run cleans them
  for (const NodeIndex i : dirty) {
    Node* node = at[i];
    node->run = number_;
    node->unusable = false;
    node->position = SIZE_MAX;
  }
  if (targets != Py_None) {
    // What the targets need: the dirty nodes reached from them through
    // dependencies (a clean node's dependencies are clean).
    std::vector<Node*> wanted;
    for (Py_ssize_t k = 0; k < PyList_Size(targets); ++k) {
      Node* node = engine_.find(PyList_GetItem(targets, k));
      if (node == nullptr) return PyErr_Occurred() ? false : raise(PyExc_KeyError, "unknown target");
      wanted.push_back(node);
    }
    std::vector<std::uint8_t> needed(at.size(), 0);
    while (!wanted.empty()) {
      Node* node = wanted.back();
      wanted.pop_back();
      if (!node->in_graph || node->run != number_ || needed[node->index]) continue;
      needed[node->index] = 1;
      wanted.insert(wanted.end(), node->inputs.begin(), node->inputs.end());
    }
    std::erase_if(dirty, [&](NodeIndex i) {
      if (needed[i]) return false;
      at[i]->run = 0;  // not part of this run
      return true;
    });
  }
  schedule_.reserve(dirty.size());
  for (const NodeIndex i : dirty) {
    Node* node = at[i];
    node->position = schedule_.size();
    schedule_.push_back(node);
  }
  slots_.resize(schedule_.size());
  for (std::size_t pos = 0; pos < slots_.size(); ++pos) slots_[pos].name = Ref::borrow(schedule_[pos]->name.get());
  return true;
}

void Run::prepare_concurrency() {
  concurrent_ = true;
  waiting_.assign(schedule_.size(), 0);
  dependents_.assign(schedule_.size(), {});
  for (std::size_t pos = 0; pos < schedule_.size(); ++pos) {
    for (const Node* input : schedule_[pos]->inputs) {
      if (!scheduled(*input)) continue;
      ++waiting_[pos];
      dependents_[input->position].push_back(static_cast<std::uint32_t>(pos));
    }
    if (waiting_[pos] == 0) ready_.push_back(pos);
  }
  std::make_heap(ready_.begin(), ready_.end(), std::greater<>());
}

void Run::settled(std::size_t pos) {
  if (!concurrent_) return;
  for (const std::uint32_t d : dependents_[pos]) {
    if (--waiting_[d] == 0) {
      ready_.push_back(d);
      std::push_heap(ready_.begin(), ready_.end(), std::greater<>());
    }
  }
}

// ---------------------------------------------------------------------------
// The decision: settle the node now, or make it a job.

Run::Step Run::decide(std::size_t pos) {
  Node& node = *schedule_[pos];
  Slot& slot = slots_[pos];
  slot.started = now();
  if (node.kind == Kind::Input) {
    if (!node.value) {
      return settle_failure(pos, make_error(PyExc_LookupError, "input " + quoted(node) +
                                                                   " has no value: give it one with flow.set(" +
                                                                   node.id + "=...)"))
                 ? Step::Settled
                 : Step::Abort;
    }
    const bool changed = !node.has_committed || node.committed != node.hash;
    if (changed && engine_.watched(node) &&
        !change(node, node.before ? node.before.get() : engine_.missing(), node.value.get()))
      return Step::Abort;
    Kernel kernel(engine_.graph());
    if (!kernel) return Step::Abort;
    kernel->commit_input(node.index, node.hash);
    node.committed = node.hash;
    node.has_committed = true;
    node.before = Ref();
    slot.outcome = Outcome::Input;
    return Step::Settled;
  }
  for (const Node* input : node.inputs) {
    if (input->run == number_ && input->unusable) {
      node.unusable = true;
      slot.outcome = Outcome::Blocked;
      return emit(interned.blocked, node) ? Step::Settled : Step::Abort;
    }
  }
  core::Check check;
  bool memo_hit = false;
  {
    Kernel kernel(engine_.graph());
    if (!kernel) return Step::Abort;
    check = kernel->check(node.index);
    slot.signature = check.signature;
    if (!check.needs_recompute && !node.forced) {
      kernel->make_clean(node.index, check.signature);
      node.failure = Ref();
      slot.outcome = Outcome::MemoHit;
      memo_hit = true;
    }
  }
  if (memo_hit) return emit(interned.memo_hit, node) ? Step::Settled : Step::Abort;
  const std::size_t n = node.inputs.size();
  slot.hashes.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const Node* input = node.inputs[k];
    if (!input->value) {  // never while the invariants hold: refuse rather than pass it on
      return settle_failure(pos, make_error(PyExc_RuntimeError, quoted(node) + " has a dependency without a value"))
                 ? Step::Settled
                 : Step::Abort;
    }
    slot.hashes[k] = input->hash;
  }
  if (!node.forced && memo_current(node) && node.memo.hashes == slot.hashes) {
    {
      Kernel kernel(engine_.graph());  // the same inputs as its last success
      if (!kernel) return Step::Abort;
      kernel->make_clean(node.index, check.signature);
    }
    node.failure = Ref();
    slot.outcome = Outcome::MemoHit;
    return emit(interned.memo_hit, node) ? Step::Settled : Step::Abort;
  }
  Ref values = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
  if (!values) return Step::Abort;
  for (std::size_t k = 0; k < n; ++k)
    PyTuple_SetItem(values.get(), static_cast<Py_ssize_t>(k), Py_NewRef(node.inputs[k]->value.get()));
  if (options_.fetch) {
    Ref fetched = Ref::steal(PyObject_CallFunctionObjArgs(options_.fetch.get(), values.get(), nullptr));
    if (!fetched) {
      if (!pending_is_failure()) return Step::Abort;
      return settle_failure(pos, take_error()) ? Step::Settled : Step::Abort;
    }
    values = Ref::steal(PySequence_Tuple(fetched.get()));
    if (!values) return Step::Abort;
  }
  slot.values = std::move(values);
  if (options_.store && node.storable) {
    Ref hashes = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!hashes) return Step::Abort;
    for (std::size_t k = 0; k < n; ++k)
      PyList_SetItem(hashes.get(), static_cast<Py_ssize_t>(k), PyLong_FromUnsignedLongLong(slot.hashes[k]));
    Ref found = Ref::steal(PyObject_CallMethodObjArgs(options_.store.get(), interned.load, node.definition.get(),
                                                      hashes.get(), nullptr));
    if (!found) {
      if (!pending_is_failure()) return Step::Abort;
      PyErr_WriteUnraisable(options_.store.get());  // a store's faults are its own to report
    } else if (PyTuple_Check(found.get()) && PyTuple_Size(found.get()) == 1) {  // (value,): found
      Ref value = Ref::borrow(PyTuple_GetItem(found.get(), 0));
      std::uint64_t h = 0;
      if (!node.hashed || content_hash(engine_, value.get(), &h)) {
        slot.in_flight = true;
        ++in_flight_;
        return finish(pos, std::move(value), h, true) ? Step::Settled : Step::Abort;
      }
      if (!pending_is_failure()) return Step::Abort;
      PyErr_Clear();  // an unhashable stored value: compute it instead
    }
  }
  slot.started = now();  // the call's own time, not the store's
  if (node.is_async && !options_.allow_async) {
    return settle_failure(pos, make_error(PyExc_TypeError, quoted(node) + " is an async function: run the flow "
                                                                          "with `await flow.arun()`"))
               ? Step::Settled
               : Step::Abort;
  }
  {
    Kernel kernel(engine_.graph());
    if (!kernel) return Step::Abort;
    kernel->set_state(node.index, core::NodeState::Computing);
  }
  slot.in_flight = true;
  ++in_flight_;
  return emit(interned.start, node) ? Step::Call : Step::Abort;
}

// ---------------------------------------------------------------------------
// Outcomes.

std::size_t Run::computed() const noexcept {
  return static_cast<std::size_t>(
      std::count_if(schedule_.begin(), schedule_.end(), [](const Node* n) { return n->kind != Kind::Input; }));
}

bool Run::emit(PyObject* kind, const Node& node, const Slot* timed, PyObject* error) {
  if (!options_.emit) return true;
  Ref seconds = timed != nullptr && timed->timed ? Ref::steal(PyFloat_FromDouble(timed->seconds)) : Ref::borrow(Py_None);
  if (!seconds) return false;
  Ref done = Ref::steal(PyObject_CallFunctionObjArgs(options_.emit.get(), kind, node.name.get(), seconds.get(),
                                                     error != nullptr ? error : Py_None, nullptr));
  if (done) return true;
  if (!pending_is_failure()) return false;
  PyErr_WriteUnraisable(options_.emit.get());  // hooks' own errors are reported by the emitter
  return true;
}

bool Run::change(Node& node, PyObject* old, PyObject* now) {
  Ref entry = Ref::steal(Py_BuildValue("(OOO)", node.name.get(), old, now));
  return entry && PyList_Append(changes_.get(), entry.get()) == 0;
}

/// Fails a node that was not in flight (no call was made).
bool Run::settle_failure(std::size_t pos, Ref error) {
  if (!error) return false;
  slots_[pos].in_flight = true;
  ++in_flight_;
  return finish_failure(pos, std::move(error));
}

// Which arguments a call changed in place: each is spoiled (recomputed, or
// for an input recommitted as it now is, by the next run), and `error`
// becomes the node's failure unless the call had failed already.
bool Run::check_arguments(std::size_t pos, Ref& error) {
  Node& node = *schedule_[pos];
  Slot& slot = slots_[pos];
  if (!options_.check_mutation || !slot.values) return true;
  std::vector<Node*> changed;
  for (std::size_t k = 0; k < node.inputs.size(); ++k) {
    Node* input = node.inputs[k];
    if (!input->hashed) continue;
    std::uint64_t h;
    if (!content_hash(engine_, PyTuple_GetItem(slot.values.get(), static_cast<Py_ssize_t>(k)), &h)) {
      if (!pending_is_failure()) return false;
      PyErr_Clear();
      continue;
    }
    if (h != slot.hashes[k]) changed.push_back(input);
  }
  if (changed.empty()) return true;
  std::string listing;
  for (const Node* input : changed) listing += (listing.empty() ? "" : ", ") + core::quoted(input->id);
  for (Node* input : changed)
    if (!spoil(*input)) return false;
  if (!error) {
    error = make_error(PyExc_RuntimeError, quoted(node) + " changed its argument" +
                                               (changed.size() > 1 ? "s " : " ") + listing +
                                               " in place; node functions must not mutate their arguments");
    if (!error) return false;
  }
  return true;
}

bool Run::spoil(Node& node) {
  std::uint64_t h = 0;
  const bool rehashed = node.kind == Kind::Input && node.value && content_hash(engine_, node.value.get(), &h);
  if (!rehashed && PyErr_Occurred()) {
    if (!pending_is_failure()) return false;
    PyErr_Clear();
  }
  if (!engine_.mark_dirty({&node})) return false;
  if (node.kind == Kind::Input) {
    node.hash = rehashed ? h : engine_.token();  // the next run commits what it now holds
  } else {
    node.forced = true;
    node.hash = engine_.token();
  }
  if (node.run == number_) node.unusable = true;
  return true;
}

bool Run::finish_failure(std::size_t pos, Ref error, bool check) {
  Node& node = *schedule_[pos];
  Slot& slot = slots_[pos];
  if (check && !check_arguments(pos, error)) return false;
  Kernel kernel(engine_.graph());
  if (!kernel) return false;
  kernel->set_state(node.index, core::NodeState::Dirty);  // keeps its previous value; the next run retries
  slot.seconds = now() - slot.started;
  slot.timed = true;
  slot.outcome = Outcome::Failed;
  slot.failure = Ref::borrow(error.get());
  node.failure = std::move(error);
  node.unusable = true;
  slot.in_flight = false;
  --in_flight_;
  return emit(interned.failed, node, &slot, slot.failure.get());
}

bool Run::finish(std::size_t pos, Ref value, std::uint64_t hash, bool loaded) {
  Node& node = *schedule_[pos];
  Slot& slot = slots_[pos];
  Ref error;
  if (!loaded && !check_arguments(pos, error)) return false;
  if (!error) {
    for (const Node* input : node.inputs) {
      if (input->run == number_ && input->unusable) {
        error = make_error(PyExc_RuntimeError, quoted(node) + " read " + core::quoted(input->id) +
                                                   ", which another node changed in place during the run; "
                                                   "the next run recomputes it");
        if (!error) return false;
        break;
      }
    }
  }
  if (error) return finish_failure(pos, std::move(error), false);
  // Python code first (arrays are handed out read-only), then the writes.
  PyObject* v = value.get();
  const bool plain = v == Py_None || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyUnicode_CheckExact(v) ||
                     PyBool_Check(v) || PyTuple_CheckExact(v) || PyList_CheckExact(v) || PyDict_CheckExact(v) ||
                     PyBytes_CheckExact(v);  // never an array
  Ref frozen = plain ? std::move(value)
                     : Ref::steal(PyObject_CallMethodObjArgs(engine_.support(), interned.freeze, v, nullptr));
  if (!frozen) {
    if (!pending_is_failure()) return false;
    return finish_failure(pos, take_error());
  }
  Ref memo_version = Ref::borrow(node.version.get()), memo_deps = Ref::borrow(node.deps.get());
  std::vector<std::uint64_t> hashes = std::move(slot.hashes);
  const bool watched = engine_.watched(node);
  Kernel kernel(engine_.graph());
  if (!kernel) return false;
  slot.seconds = now() - slot.started;
  slot.timed = true;
  node.previous = std::move(node.memo);
  node.memo = Memo{true, std::move(memo_version), std::move(memo_deps), std::move(hashes)};
  node.forced = false;
  node.failure = Ref();
  if (!node.hashed || !node.cutoff) hash = engine_.token();  // every recomputation counts as a change
  if (node.value && hash == node.hash) {
    kernel->make_clean(node.index, slot.signature);
    slot.outcome = Outcome::CutOff;
  } else {
    Ref old = std::move(node.value);
    node.value = Ref::borrow(frozen.get());
    node.hash = hash;
    kernel->commit(node.index, slot.signature);
    slot.outcome = loaded ? Outcome::Loaded : Outcome::Recomputed;
    if (watched && !change(node, old ? old.get() : engine_.missing(), frozen.get())) PyErr_Clear();
  }
  slot.in_flight = false;
  --in_flight_;
  PyObject* kind = slot.outcome == Outcome::CutOff ? interned.cut_off
                   : slot.outcome == Outcome::Loaded ? interned.loaded
                                                     : interned.finish;
  if (!emit(kind, node, &slot)) return false;
  if (options_.store && node.storable && slot.outcome == Outcome::Recomputed) {
    const std::vector<std::uint64_t>& used = node.memo.hashes;
    Ref seconds = Ref::steal(PyFloat_FromDouble(slot.seconds));
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(used.size())));
    if (!seconds || !list) return false;
    for (std::size_t k = 0; k < used.size(); ++k)
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), PyLong_FromUnsignedLongLong(used[k]));
    Ref saved = Ref::steal(PyObject_CallMethodObjArgs(options_.store.get(), interned.save, node.definition.get(),
                                                      list.get(), frozen.get(), seconds.get(), nullptr));
    if (!saved) {
      if (!pending_is_failure()) return false;  // committed already: nothing is half done
      PyErr_WriteUnraisable(options_.store.get());
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Backends.

PyObject* Run::arguments(const Node& node, const Slot& slot, Ref& kwargs) const {
  if (node.by_position) return Py_NewRef(slot.values.get());
  Ref args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(node.positional.size())));
  kwargs = Ref::steal(PyDict_New());
  if (!args || !kwargs) return nullptr;
  for (std::size_t k = 0; k < node.positional.size(); ++k)
    PyTuple_SetItem(args.get(), static_cast<Py_ssize_t>(k),
                    Py_NewRef(PyTuple_GetItem(slot.values.get(), node.positional[k])));
  for (const auto& [key, index] : node.keywords) {
    if (PyDict_SetItem(kwargs.get(), key.get(), PyTuple_GetItem(slot.values.get(), index)) < 0) return nullptr;
  }
  return args.release();
}

bool Run::call_inline(std::size_t pos) {
  Node& node = *schedule_[pos];
  Ref kwargs;
  Ref args = Ref::steal(arguments(node, slots_[pos], kwargs));
  if (!args) return false;
  Ref value = Ref::steal(PyObject_Call(node.func.get(), args.get(), kwargs.get()));
  if (!value) {
    if (!pending_is_failure()) return false;
    return finish_failure(pos, take_error());
  }
  std::uint64_t hash = 0;
  if (node.hashed && !content_hash(engine_, value.get(), &hash)) {
    if (!pending_is_failure()) return false;
    Ref cause = take_error();
    Ref error = Ref::steal(PyObject_CallMethodObjArgs(engine_.support(), interned.unhashable, node.name.get(),
                                                      cause.get(), nullptr));
    if (!error) return false;
    return finish_failure(pos, std::move(error));
  }
  return finish(pos, std::move(value), hash, false);
}

bool Run::run_inline() {
  for (std::size_t pos = 0; pos < schedule_.size(); ++pos) {
    switch (decide(pos)) {
      case Step::Abort:
        return false;
      case Step::Call:
        if (!call_inline(pos)) return false;
        break;
      case Step::Settled:
        break;
    }
  }
  return true;
}

PyObject* Run::ready() {
  if (!concurrent_) prepare_concurrency();
  Ref jobs = Ref::steal(PyList_New(0));
  if (!jobs) return nullptr;
  while (!ready_.empty()) {
    std::pop_heap(ready_.begin(), ready_.end(), std::greater<>());
    const std::size_t pos = ready_.back();
    ready_.pop_back();
    switch (decide(pos)) {
      case Step::Abort:
        return nullptr;
      case Step::Settled:
        settled(pos);
        break;
      case Step::Call: {
        const Node& node = *schedule_[pos];
        Ref kwargs;
        Ref args = Ref::steal(arguments(node, slots_[pos], kwargs));
        if (!args) return nullptr;
        Ref job = Ref::steal(Py_BuildValue("(nOOO)", static_cast<Py_ssize_t>(pos), node.definition.get(),
                                           args.get(), kwargs ? kwargs.get() : Py_None));
        if (!job || PyList_Append(jobs.get(), job.get()) < 0) return nullptr;
        break;
      }
    }
  }
  return jobs.release();
}

Slot* Run::job(std::size_t token) {
  if (token >= slots_.size() || !slots_[token].in_flight) {
    PyErr_SetString(PyExc_ValueError, "not a job in flight");
    return nullptr;
  }
  return &slots_[token];
}

bool Run::complete(std::size_t token, PyObject* value, PyObject* hash) {
  if (job(token) == nullptr) return false;
  Node& node = *schedule_[token];
  std::uint64_t h = 0;
  if (hash != Py_None) {
    h = PyLong_AsUnsignedLongLong(hash);
    if (PyErr_Occurred()) return false;
  } else if (node.hashed && !content_hash(engine_, value, &h)) {
    if (!pending_is_failure()) return false;
    Ref cause = take_error();
    Ref error = Ref::steal(PyObject_CallMethodObjArgs(engine_.support(), interned.unhashable, node.name.get(),
                                                      cause.get(), nullptr));
    if (!error || !finish_failure(token, std::move(error))) return false;
    settled(token);
    return true;
  }
  if (!finish(token, Ref::borrow(value), h, false)) return false;
  settled(token);
  return true;
}

bool Run::fail(std::size_t token, PyObject* error) {
  if (job(token) == nullptr || !finish_failure(token, Ref::borrow(error))) return false;
  settled(token);
  return true;
}

PyObject* Run::expected(std::size_t token) {
  Slot* slot = job(token);
  if (slot == nullptr) return nullptr;
  const Node& node = *schedule_[token];
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(slot->hashes.size())));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < slot->hashes.size(); ++k) {
    PyObject* h = node.inputs[k]->hashed ? PyLong_FromUnsignedLongLong(slot->hashes[k]) : Py_NewRef(Py_None);
    if (h == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), h);
  }
  return list.release();
}

bool Run::lose(PyObject* name, PyObject* error) {
  Node* node = engine_.find(name);
  if (node == nullptr) return !PyErr_Occurred();
  Ref list = Ref::steal(PyList_New(1));
  if (!list) return false;
  PyList_SetItem(list.get(), 0, Py_NewRef(name));
  if (!engine_.drop(list.get())) return false;
  node->failure = Ref::borrow(error);
  const bool in_schedule = scheduled(*node);
  node->run = number_;  // what depends on it and has not started is blocked
  node->unusable = true;
  if (in_schedule) {
    Slot& slot = slots_[node->position];
    if (slot.outcome != Outcome::None && !slot.in_flight) {
      slot.outcome = Outcome::Failed;
      slot.failure = Ref::borrow(error);
      return emit(interned.failed, *node, nullptr, error);
    }
  }
  lost_.emplace_back(Ref::borrow(name), Ref::borrow(error));
  return emit(interned.failed, *node, nullptr, error);
}

bool Run::spoil(PyObject* name) {
  Node* node = engine_.find(name);
  if (node == nullptr) return !PyErr_Occurred();
  return spoil(*node);
}

// ---------------------------------------------------------------------------
// The report.

PyObject* Run::outcome() {
  Ref lists[7];
  for (int k = 0; k < 7; ++k)
    if (!(lists[k] = Ref::steal(k == 5 ? PyDict_New() : PyList_New(0)))) return nullptr;
  Ref seconds = Ref::steal(PyDict_New());
  if (!seconds) return nullptr;
  for (std::size_t pos = 0; pos < schedule_.size(); ++pos) {
    const Slot& slot = slots_[pos];
    PyObject* name = slot.name.get();
    int list = -1;
    switch (slot.outcome) {
      case Outcome::Input: list = 0; break;
      case Outcome::Recomputed: list = 1; break;
      case Outcome::Loaded: list = 2; break;
      case Outcome::CutOff: list = 3; break;
      case Outcome::MemoHit: list = 4; break;
      case Outcome::Failed:
        if (PyDict_SetItem(lists[5].get(), name, slot.failure.get()) < 0) return nullptr;
        break;
      case Outcome::Blocked: list = 6; break;
      case Outcome::None: break;
    }
    if (list >= 0 && PyList_Append(lists[list].get(), name) < 0) return nullptr;
    if (slot.timed) {
      Ref s = Ref::steal(PyFloat_FromDouble(slot.seconds));
      if (!s || PyDict_SetItem(seconds.get(), name, s.get()) < 0) return nullptr;
    }
  }
  for (const auto& [name, error] : lost_)
    if (PyDict_SetItem(lists[5].get(), name.get(), error.get()) < 0) return nullptr;
  return Py_BuildValue("(OOOOOOOOO)", lists[0].get(), lists[1].get(), lists[2].get(), lists[3].get(),
                       lists[4].get(), lists[5].get(), lists[6].get(), seconds.get(),
                       changes_ ? changes_.get() : Py_None);
}

int Run::traverse(visitproc visit, void* arg) const {
  for (PyObject* o : {options_.store.get(), options_.fetch.get(), changes_.get()}) Py_VISIT(o);
  for (const Slot& slot : slots_) {
    Py_VISIT(slot.name.get());
    Py_VISIT(slot.values.get());
    Py_VISIT(slot.failure.get());
  }
  for (const auto& [name, error] : lost_) Py_VISIT(error.get());
  return 0;
}

}  // namespace movra::engine

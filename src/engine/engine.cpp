// engine.cpp - a flow's nodes: declaring, building, changing inputs, reading.
#include "engine.hpp"

#include <algorithm>

#include "graph_object.hpp"
#include "hashing/api.hpp"

namespace movra::engine {

extern const hashing::Api* hash_api;
extern PyObject* graph_type;

bool content_hash(const Engine& engine, PyObject* value, std::uint64_t* out) {
  return hash_api->hash(engine.hasher(), value, out);
}

Engine::Engine(Ref hasher, Ref missing, Ref support) noexcept
    : hasher_(std::move(hasher)), missing_(std::move(missing)), support_(std::move(support)) {}

Engine::~Engine() {
  if (turnstile_ != nullptr) PyThread_free_lock(turnstile_);
}

bool Engine::init() {
  broken_ = Ref::steal(PyDict_New());
  if (!broken_) return false;
  turnstile_ = PyThread_allocate_lock();
  if (turnstile_ == nullptr) return raise(PyExc_MemoryError, "cannot allocate a lock");
  return true;
}

// ---------------------------------------------------------------------------
// The lock.  Its owner is a thread id, read and written with the GIL held;
// the turnstile is what other threads wait on, with the GIL released and a
// wake-up every 20 ms to let signals through.

bool Engine::acquire(bool blocking, const char* reentered) {
  const unsigned long me = PyThread_get_thread_ident();
  if (owner_ == me) return raise(PyExc_RuntimeError, reentered);
  while (PyThread_acquire_lock(turnstile_, NOWAIT_LOCK) == 0) {
    if (!blocking) return false;
    PyLockStatus status;
    Py_BEGIN_ALLOW_THREADS
    status = PyThread_acquire_lock_timed(turnstile_, 20000, 0);
    Py_END_ALLOW_THREADS
    if (status == PY_LOCK_ACQUIRED) break;
    if (PyErr_CheckSignals() < 0) return false;
  }
  owner_ = me;
  std::vector<Change> changes;
  changes.swap(queue_);
  if (!changes.empty() && !apply(changes)) {
    owner_ = 0;
    PyThread_release_lock(turnstile_);
    return false;
  }
  return true;
}

bool Engine::release() {
  bool applied = true;
  while (applied && !queue_.empty()) {  // applying may run Python, and another thread may queue more
    std::vector<Change> changes;
    changes.swap(queue_);
    applied = apply(changes);
  }
  owner_ = 0;
  PyThread_release_lock(turnstile_);
  return applied;
}

bool Engine::held_here() const noexcept { return owner_ == PyThread_get_thread_ident(); }

// ---------------------------------------------------------------------------
// Definitions.

Node* Engine::find(std::string_view id) {
  auto it = by_id_.find(id);
  return it == by_id_.end() ? nullptr : it->second;
}

Node* Engine::find(PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_SetString(PyExc_TypeError, "node names are str");
    return nullptr;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(name, &size);
  if (data == nullptr) {
    PyErr_Clear();  // a lone surrogate: no node has such a name
    return nullptr;
  }
  return find(std::string_view(data, static_cast<std::size_t>(size)));
}

bool Engine::read_definition(PyObject* d, Node& node) const {
  auto attr = [](PyObject* o, PyObject* key) { return Ref::steal(PyObject_GetAttr(o, key)); };
  Ref name = attr(d, interned.name), kind = attr(d, interned.kind), func = attr(d, interned.func),
      deps = attr(d, interned.deps), call = attr(d, interned.call), version = attr(d, interned.version);
  if (!name || !kind || !func || !deps || !call || !version) return false;
  if (!PyUnicode_Check(name.get()) || !PyUnicode_Check(kind.get()) || !PyTuple_Check(deps.get()) ||
      !PyUnicode_Check(version.get()))
    return raise(PyExc_TypeError, "malformed node definition");
  for (auto [key, out] : {std::pair{interned.cutoff, &node.cutoff}, std::pair{interned.hashed, &node.hashed},
                          std::pair{interned.is_async, &node.is_async}}) {
    Ref flag = attr(d, key);
    const int truth = flag ? PyObject_IsTrue(flag.get()) : -1;
    if (truth < 0) return false;
    *out = truth == 1;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (data == nullptr) return false;
  node.id.assign(data, static_cast<std::size_t>(size));
  node.kind = PyUnicode_Compare(kind.get(), interned.input) == 0      ? Kind::Input
              : PyUnicode_Compare(kind.get(), interned.source) == 0   ? Kind::Source
              : PyUnicode_Compare(kind.get(), interned.reactive) == 0 ? Kind::Reactive
                                                                   : Kind::View;
  const Py_ssize_t count = PyTuple_Size(deps.get());
  node.dep_ids.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t k = 0; k < count; ++k) {
    const char* dep = PyUnicode_AsUTF8AndSize(PyTuple_GetItem(deps.get(), k), &size);
    if (dep == nullptr) return false;
    node.dep_ids.emplace_back(dep, static_cast<std::size_t>(size));
  }
  if (call.get() != Py_None) {
    node.by_position = false;
    Ref positional = attr(call.get(), interned.positional), keywords = attr(call.get(), interned.keywords);
    if (!positional || !keywords) return false;
    for (Py_ssize_t k = 0; k < PyTuple_Size(positional.get()); ++k)
      node.positional.push_back(PyLong_AsSsize_t(PyTuple_GetItem(positional.get(), k)));
    for (Py_ssize_t k = 0; k < PyTuple_Size(keywords.get()); ++k) {
      PyObject* pair = PyTuple_GetItem(keywords.get(), k);
      node.keywords.emplace_back(Ref::borrow(PyTuple_GetItem(pair, 0)),
                                 PyLong_AsSsize_t(PyTuple_GetItem(pair, 1)));
    }
    if (PyErr_Occurred()) return false;
  }
  node.name = std::move(name);
  node.definition = Ref::borrow(d);
  node.func = std::move(func);
  node.deps = std::move(deps);
  node.version = std::move(version);
  return true;
}

// Everything is read before anything is written; a node declared again keeps
// what the flow remembers of it (the next build decides what is still valid).
bool Engine::declare(PyObject* definition) {
  Node fresh;
  if (!read_definition(definition, fresh)) return false;
  Node* old = find(std::string_view(fresh.id));
  if (old == nullptr) {
    auto node = std::make_unique<Node>(std::move(fresh));
    order_.reserve(order_.size() + 1);
    by_id_.reserve(by_id_.size() + 1);
    Node* raw = node.get();
    order_.push_back(std::move(node));
    by_id_.emplace(std::string_view(raw->id), raw);
  } else {
    old->definition = std::move(fresh.definition);
    old->kind = fresh.kind;
    old->func = std::move(fresh.func);
    old->deps = std::move(fresh.deps);
    old->dep_ids = std::move(fresh.dep_ids);
    old->by_position = fresh.by_position;
    old->positional = std::move(fresh.positional);
    old->keywords = std::move(fresh.keywords);
    old->version = std::move(fresh.version);
    old->hashed = fresh.hashed;
    old->cutoff = fresh.cutoff;
    old->is_async = fresh.is_async;
  }
  stale_ = true;
  return true;
}

bool Engine::update_function(PyObject* name, PyObject* func, bool is_async) {
  Node* node = find(name);
  if (node == nullptr) return PyErr_Occurred() ? false : raise(PyExc_KeyError, "unknown node");
  node->func = Ref::borrow(func);
  node->is_async = is_async;
  return true;
}

bool Engine::remove(PyObject* list) {
  std::vector<Node*> leaving;
  for (Py_ssize_t k = 0; k < PyList_Size(list); ++k) {
    Node* node = find(PyList_GetItem(list, k));
    if (node != nullptr) leaving.push_back(node);
    else if (PyErr_Occurred()) return false;
  }
  // The nodes leave the lists first and are destroyed last: a value's
  // finaliser may run Python code that reads the flow.
  std::vector<std::unique_ptr<Node>> gone;
  for (Node* node : leaving) {
    if (by_id_.erase(std::string_view(node->id)) == 0) continue;  // listed twice
    auto it = std::find_if(order_.begin(), order_.end(), [node](const std::unique_ptr<Node>& n) {
      return n.get() == node;
    });
    gone.push_back(std::move(*it));
    order_.erase(it);
  }
  at_.clear();  // refers to removed nodes until the next build
  stale_ = true;
  gone.clear();
  return true;
}

PyObject* Engine::names() const {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(order_.size())));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < order_.size(); ++k)
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), Py_NewRef(order_[k]->name.get()));
  return list.release();
}

PyObject* Engine::definitions() const {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& node : order_)
    if (PyDict_SetItem(dict.get(), node->name.get(), node->definition.get()) < 0) return nullptr;
  return dict.release();
}

PyObject* Engine::bad_dependencies() {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& node : order_) {
    for (std::size_t k = 0; k < node->dep_ids.size(); ++k) {
      const std::string& dep = node->dep_ids[k];
      if (dep != node->id && find(std::string_view(dep)) != nullptr) continue;
      Ref pair = Ref::steal(Py_BuildValue("(OO)", node->name.get(), PyTuple_GetItem(node->deps.get(),
                                                                                     static_cast<Py_ssize_t>(k))));
      if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
      break;
    }
  }
  return list.release();
}

// ---------------------------------------------------------------------------
// Building.

bool memo_current(const Node& node) {
  return node.memo.valid && same(node.memo.version.get(), node.version.get()) &&
         same(node.memo.deps.get(), node.deps.get());
}

void Engine::link(Node& node, std::span<const NodeIndex> deps, const std::vector<Node*>& at) {
  node.inputs.clear();
  node.inputs.reserve(node.dep_ids.size());
  bool storable = node.kind != Kind::Input && node.kind != Kind::Source && node.hashed;
  // The kernel keeps each dependency once: a repeated one is linked again by id.
  for (std::size_t k = 0; k < node.dep_ids.size(); ++k) {
    Node* input = deps.size() == node.dep_ids.size() ? at[deps[k]] : find(std::string_view(node.dep_ids[k]));
    node.inputs.push_back(input);
    storable = storable && input->hashed && input->cutoff;
  }
  node.storable = storable;
}

// A node comes back clean when it was clean in the last build, nothing forces
// it to run, its memo was recorded by its current code and dependency list,
// and every dependency came back clean; the rest is marked dirty with all it
// reaches.
bool Engine::restore(core::Graph& g, const std::vector<Node*>& at) const {
  std::vector<std::uint8_t> was_clean(at.size(), 0);
  if (graph_) {
    py::Borrow old(graph_.get(), py::Access::Shared);
    if (!old) return false;
    for (std::size_t k = 0; k < at.size(); ++k) {
      const Node& node = *at[k];
      was_clean[k] = node.in_graph && node.index < old.graph().size() &&
                     old.graph().id_of(node.index) == node.id &&
                     old.graph().state(node.index) == core::NodeState::Clean;
    }
  }
  // A new graph's nodes are all dirty; a node is restored only on restored
  // dependencies, so what is not restored needs no propagation, only its own
  // state set back where an input's commit cleaned it.
  std::vector<std::uint8_t> restored(at.size(), 0);
  for (const NodeIndex i : g.order()) {
    const Node& node = *at[i];
    if (node.kind == Kind::Input) {
      if (node.has_committed) {
        g.commit_input(i, node.committed);
        restored[i] = node.value && node.hash == node.committed;
        if (!restored[i]) g.set_state(i, core::NodeState::Dirty);
      }
    } else if (was_clean[i] && !node.forced && memo_current(node)) {
      const auto deps = g.nodes()[i].deps.view();
      if (std::all_of(deps.begin(), deps.end(), [&](NodeIndex d) { return restored[d] != 0; })) {
        g.make_clean(i, g.check(i).signature);
        restored[i] = 1;
      }
    }
  }
  return true;
}

PyObject* Engine::rebuild(PyObject* broken) {
  Ref graph = Ref::steal(PyObject_CallNoArgs(graph_type));
  if (!graph) return nullptr;
  if (Py_TYPE(graph.get()) != reinterpret_cast<PyTypeObject*>(graph_type) ||
      reinterpret_cast<py::GraphObject*>(graph.get())->build != py::kBuildStamp)
    return raise(PyExc_RuntimeError, "movra._engine and movra._movra come from different builds: reinstall movra"),
           nullptr;
  std::vector<Node*> at;
  at.reserve(order_.size());
  const bool none_broken = PyDict_Size(broken) == 0;
  for (auto& node : order_) {
    const int out = none_broken ? 0 : PyDict_Contains(broken, node->name.get());
    if (out < 0) return nullptr;
    if (out == 0) at.push_back(node.get());
  }
  {
    py::Borrow borrow(graph.get(), py::Access::Exclusive);
    if (!borrow) return nullptr;
    core::Graph& g = borrow.graph();
    static constexpr std::string_view kinds[] = {"input", "source", "reactive", "view"};
    for (Node* node : at) {
      if (auto added = g.add_node(node->id, kinds[static_cast<int>(node->kind)]); !added)
        return raise(PyExc_ValueError, added.error().message()), nullptr;
    }
    std::vector<std::string_view> deps;
    for (Node* node : at) {
      if (node->dep_ids.empty()) continue;
      deps.assign(node->dep_ids.begin(), node->dep_ids.end());
      if (auto set = g.set_deps(node->id, deps); !set)
        return raise(PyExc_ValueError, set.error().message()), nullptr;
    }
    if (auto built = g.build(); !built) {
      if (built.error().kind() != core::GraphError::Kind::Cycle)
        return raise(PyExc_ValueError, built.error().message()), nullptr;
      Ref ids = Ref::steal(PyList_New(0));
      if (!ids) return nullptr;
      for (const std::string& id : built.error().payload()) {
        Ref item = text(id);
        if (!item || PyList_Append(ids.get(), item.get()) < 0) return nullptr;
      }
      return ids.release();  // nothing changed
    }
    if (!restore(g, at)) return nullptr;
  }
  // Nothing below fails: the new build replaces the old one whole.
  for (auto& node : order_) node->in_graph = false;
  for (std::size_t k = 0; k < at.size(); ++k) {
    at[k]->in_graph = true;
    at[k]->index = static_cast<NodeIndex>(k);
  }
  {
    py::Borrow borrow(graph.get(), py::Access::Shared);  // a fresh graph: nobody else holds it
    for (std::size_t k = 0; k < at.size(); ++k) link(*at[k], borrow.graph().nodes()[k].deps.view(), at);
  }
  at_ = std::move(at);
  graph_ = std::move(graph);
  dirty_hint_.clear();
  hint_overflow_ = true;
  broken_ = Ref::borrow(broken);
  stale_ = false;
  return Py_NewRef(Py_None);
}

// ---------------------------------------------------------------------------
// Changes.

bool Engine::mark_dirty(const std::vector<Node*>& seeds) {
  if (stale_ || !graph_ || seeds.empty()) return true;  // the next build decides
  std::vector<NodeIndex> indices;
  indices.reserve(seeds.size());
  for (const Node* node : seeds)
    if (node->in_graph) indices.push_back(node->index);
  py::Borrow borrow(graph_.get(), py::Access::Exclusive);
  if (!borrow) return false;
  note_dirty(borrow.graph().mark_dirty(indices));
  return true;
}

void Engine::note_dirty(std::span<const NodeIndex> nodes) {
  if (hint_overflow_) return;
  if (dirty_hint_.size() + nodes.size() > at_.size() / 8 + 16) {
    hint_overflow_ = true;
    dirty_hint_.clear();
    return;
  }
  dirty_hint_.insert(dirty_hint_.end(), nodes.begin(), nodes.end());
}

std::vector<NodeIndex> Engine::take_dirty_hint(const core::Graph& kernel, bool& everything) {
  // Changed through flow.graph behind the engine's back: the hint cannot tell.
  everything = hint_overflow_ || kernel.id_writes() != id_writes_seen_;
  id_writes_seen_ = kernel.id_writes();
  hint_overflow_ = false;
  std::vector<NodeIndex> hint;
  hint.swap(dirty_hint_);
  return hint;
}

bool Engine::watched(const Node& node) {
  if (!watchers_ || PyDict_Size(watchers_.get()) == 0) return false;
  return PyDict_Contains(watchers_.get(), node.name.get()) == 1;
}

// Applied now when the lock is free, else by its holder when it lets go; so
// a run sees the inputs as they were when it started.
bool Engine::enqueue(std::vector<Change>&& changes) {
  if (owner_ == 0 && PyThread_acquire_lock(turnstile_, NOWAIT_LOCK) != 0) {
    owner_ = PyThread_get_thread_ident();
    const bool applied = apply(changes);
    owner_ = 0;
    PyThread_release_lock(turnstile_);
    return applied;
  }
  queue_.reserve(queue_.size() + changes.size());
  for (Change& change : changes) queue_.push_back(std::move(change));
  return true;
}

// The seeds are found and marked dirty before any value is written, so a
// failure leaves everything as it was.
bool Engine::apply(std::vector<Change>& changes) {
  std::vector<Node*> seeds(changes.size(), nullptr);
  std::vector<Node*> dirty;
  for (std::size_t k = 0; k < changes.size(); ++k) {
    const Change& change = changes[k];
    Node* node = find(change.name.get());
    if (node == nullptr) {
      PyErr_Clear();
      continue;  // removed since
    }
    // The same content as the value it has: nothing to do.  (A later change
    // of the same input in this batch compares with this one's value.)
    const bool unchanged = !change.refresh && change.hashed && node->hashed && node->value &&
                           change.hash == node->hash && !std::count(seeds.begin(), seeds.end(), node);
    if (unchanged) continue;
    seeds[k] = node;
    dirty.push_back(node);
  }
  if (!mark_dirty(dirty)) return false;
  for (std::size_t k = 0; k < changes.size(); ++k) {
    Node* node = seeds[k];
    if (node == nullptr) continue;
    Change& change = changes[k];
    if (change.refresh) {
      node->forced = true;
      continue;
    }
    if (!node->before && node->value && watched(*node)) node->before = Ref::borrow(node->value.get());
    node->value = std::move(change.value);
    node->hash = change.hashed ? change.hash : token();
  }
  return true;
}

bool Engine::drop(PyObject* list) {
  std::vector<Node*> lost;
  for (Py_ssize_t k = 0; k < PyList_Size(list); ++k) {
    if (Node* node = find(PyList_GetItem(list, k))) lost.push_back(node);
    else if (PyErr_Occurred()) return false;
  }
  if (!mark_dirty(lost)) return false;
  for (Node* node : lost) {
    node->value = Ref();
    node->forced = true;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Reading.

PyObject* Engine::value(PyObject* name) {
  Node* node = find(name);
  if (node == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
    return nullptr;
  }
  return Py_NewRef(node->value ? node->value.get() : missing_.get());
}

Ref memo_tuple(const Memo& memo) {
  if (!memo.valid) return Ref::borrow(Py_None);
  Ref hashes = Ref::steal(PyList_New(static_cast<Py_ssize_t>(memo.hashes.size())));
  if (!hashes) return {};
  for (std::size_t k = 0; k < memo.hashes.size(); ++k) {
    PyObject* h = PyLong_FromUnsignedLongLong(memo.hashes[k]);
    if (h == nullptr) return {};
    PyList_SetItem(hashes.get(), static_cast<Py_ssize_t>(k), h);
  }
  return Ref::steal(Py_BuildValue("(OOO)", memo.version.get(), memo.deps.get(), hashes.get()));
}

PyObject* Engine::info(PyObject* name) {
  Node* node = find(name);
  if (node == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
    return nullptr;
  }
  Ref state = Ref::borrow(Py_None);
  if (node->in_graph && !stale_) {
    py::Borrow borrow(graph_.get(), py::Access::Shared);
    if (!borrow) return nullptr;
    state = text(core::name(borrow.graph().state(node->index)));
    if (!state) return nullptr;
  }
  Ref memo = memo_tuple(node->memo), previous = memo_tuple(node->previous);
  if (!memo || !previous) return nullptr;
  Ref hash = node->value ? Ref::steal(PyLong_FromUnsignedLongLong(node->hash)) : Ref::borrow(Py_None);
  Ref committed = node->has_committed ? Ref::steal(PyLong_FromUnsignedLongLong(node->committed))
                                      : Ref::borrow(Py_None);
  if (!hash || !committed) return nullptr;
  return Py_BuildValue("(OOOOOOOOO)", state.get(), node->value ? Py_True : Py_False,
                       node->forced ? Py_True : Py_False, node->failure ? node->failure.get() : Py_None,
                       memo.get(), previous.get(), hash.get(), memo_current(*node) ? Py_True : Py_False,
                       committed.get());
}

// ---------------------------------------------------------------------------
// Garbage collection: values may refer back to the flow that holds the engine.

int Engine::traverse(visitproc visit, void* arg) const {
  for (PyObject* o : {hasher_.get(), missing_.get(), support_.get(), graph_.get(), broken_.get(),
                      watchers_.get()})
    Py_VISIT(o);
  for (const auto& node : order_) {
    for (PyObject* o : {node->definition.get(), node->func.get(), node->value.get(), node->failure.get(),
                        node->before.get()})
      Py_VISIT(o);
  }
  for (const Change& change : queue_) Py_VISIT(change.value.get());
  return 0;
}

void Engine::clear() noexcept {
  for (auto& node : order_) {
    node->value = Ref();
    node->failure = Ref();
    node->before = Ref();
    node->func = Ref();
    node->definition = Ref();
  }
  queue_.clear();
  watchers_ = Ref();
  support_ = Ref();
}

}  // namespace movra::engine

// module.cpp - the _engine extension module: PyInit__engine, and the Engine
// and Run types over engine.cpp and run.cpp.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "engine.hpp"
#include "graph_object.hpp"
#include "hashing/api.hpp"
#include "run.hpp"

namespace movra::engine {

Names interned;
const hashing::Api* hash_api = nullptr;
PyObject* graph_type = nullptr;

namespace {

std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* engine_type = nullptr;
PyObject* run_type = nullptr;

struct EngineObject {
  PyObject_HEAD
  Engine* engine;
};

struct RunObject {
  PyObject_HEAD
  Run* run;
  PyObject* owner;  // the EngineObject, kept alive while the run is
};

Engine& engine_of(PyObject* self) { return *reinterpret_cast<EngineObject*>(self)->engine; }
Run& run_of(PyObject* self) { return *reinterpret_cast<RunObject*>(self)->run; }

PyObject* none_if(bool ok) { return ok ? Py_NewRef(Py_None) : nullptr; }

PyObject* free_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  return reinterpret_cast<PyObject*>(type);
}

void release_type(PyObject* self, PyObject* type) {
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_free));
  free(self);
  Py_DecRef(type);
}

// ---------------------------------------------------------------------------
// Engine.

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  PyObject *hasher, *missing, *support;
  static const char* keywords[] = {"hasher", "missing", "support", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:Engine", const_cast<char**>(keywords), &hasher, &missing,
                                   &support))
    return nullptr;
  if (!hash_api->is_hasher(hasher)) {
    PyErr_SetString(PyExc_TypeError, "Engine needs movra.hashing.content_hash");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    auto engine = std::make_unique<Engine>(Ref::borrow(hasher), Ref::borrow(missing), Ref::borrow(support));
    if (!engine->init()) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<EngineObject*>(self)->engine = engine.release();
    return self;
  });
}

int engine_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Engine* engine = reinterpret_cast<EngineObject*>(self)->engine;
  return engine != nullptr ? engine->traverse(visit, arg) : 0;
}

int engine_clear(PyObject* self) noexcept {
  if (Engine* engine = reinterpret_cast<EngineObject*>(self)->engine) engine->clear();
  return 0;
}

void engine_dealloc(PyObject* self) noexcept {
  PyObject* type = free_object(self);
  delete std::exchange(reinterpret_cast<EngineObject*>(self)->engine, nullptr);
  release_type(self, type);
}

PyObject* engine_declare(PyObject* self, PyObject* definition) noexcept {
  return guarded([&] { return none_if(engine_of(self).declare(definition)); });
}

PyObject* engine_update_function(PyObject* self, PyObject* args) noexcept {
  PyObject *name, *func;
  int is_async;
  if (!PyArg_ParseTuple(args, "UOp:update_function", &name, &func, &is_async)) return nullptr;
  return none_if(engine_of(self).update_function(name, func, is_async != 0));
}

PyObject* engine_remove(PyObject* self, PyObject* list) noexcept {
  if (!PyList_Check(list)) return PyErr_SetString(PyExc_TypeError, "remove() takes a list"), nullptr;
  return guarded([&] { return none_if(engine_of(self).remove(list)); });
}

PyObject* engine_names(PyObject* self, PyObject*) noexcept { return engine_of(self).names(); }

PyObject* engine_definitions(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* { return engine_of(self).definitions(); });
}

PyObject* engine_bad_dependencies(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* { return engine_of(self).bad_dependencies(); });
}

PyObject* engine_definition(PyObject* self, PyObject* name) noexcept {
  Node* node = engine_of(self).find(name);
  if (node == nullptr) return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
  return Py_NewRef(node->definition.get());
}

PyObject* engine_rebuild(PyObject* self, PyObject* broken) noexcept {
  if (!PyDict_Check(broken)) return PyErr_SetString(PyExc_TypeError, "rebuild() takes a dict"), nullptr;
  return guarded([&] { return engine_of(self).rebuild(broken); });
}

// changes: a list of (name, refresh, value, hash or None).
PyObject* engine_enqueue(PyObject* self, PyObject* list) noexcept {
  if (!PyList_Check(list)) return PyErr_SetString(PyExc_TypeError, "enqueue() takes a list"), nullptr;
  return guarded([&]() -> PyObject* {
    std::vector<Change> changes;
    changes.reserve(static_cast<std::size_t>(PyList_Size(list)));
    for (Py_ssize_t k = 0; k < PyList_Size(list); ++k) {
      PyObject *name, *value, *hash;
      int refresh;
      if (!PyArg_ParseTuple(PyList_GetItem(list, k), "UpOO:enqueue", &name, &refresh, &value, &hash))
        return nullptr;
      Change change{Ref::borrow(name), refresh != 0, Ref::borrow(value), hash != Py_None, 0};
      if (change.hashed) {
        change.hash = PyLong_AsUnsignedLongLong(hash);
        if (PyErr_Occurred()) return nullptr;
      }
      changes.push_back(std::move(change));
    }
    return none_if(engine_of(self).enqueue(std::move(changes)));
  });
}

PyObject* engine_drop(PyObject* self, PyObject* list) noexcept {
  if (!PyList_Check(list)) return PyErr_SetString(PyExc_TypeError, "drop() takes a list"), nullptr;
  return guarded([&] { return none_if(engine_of(self).drop(list)); });
}

PyObject* engine_value(PyObject* self, PyObject* name) noexcept { return engine_of(self).value(name); }
PyObject* engine_info(PyObject* self, PyObject* name) noexcept {
  return guarded([&] { return engine_of(self).info(name); });
}

PyObject* engine_set_watchers(PyObject* self, PyObject* watchers) noexcept {
  if (!PyDict_Check(watchers)) return PyErr_SetString(PyExc_TypeError, "watchers must be a dict"), nullptr;
  engine_of(self).set_watchers(watchers);
  return Py_NewRef(Py_None);
}

PyObject* engine_held_here(PyObject* self, PyObject*) noexcept {
  return PyBool_FromLong(engine_of(self).held_here());
}

PyObject* engine_len(PyObject* self, PyObject*) noexcept {
  return PyLong_FromSize_t(engine_of(self).size());
}

PyObject* engine_run(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  int allow_async = 0, check_mutation = 0, blocking = 1;
  PyObject *store = Py_None, *fetch = Py_None, *emit = Py_None;
  static const char* keywords[] = {"allow_async", "check_mutation", "blocking", "store", "fetch", "emit", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$pppOOO:run", const_cast<char**>(keywords), &allow_async,
                                   &check_mutation, &blocking, &store, &fetch, &emit))
    return nullptr;
  auto optional = [](PyObject* o) { return o == Py_None ? Ref() : Ref::borrow(o); };
  return guarded([&]() -> PyObject* {
    RunOptions options{allow_async != 0, check_mutation != 0, blocking != 0, optional(store), optional(fetch),
                       optional(emit)};
    auto run = std::make_unique<Run>(engine_of(self), std::move(options));
    auto type = reinterpret_cast<PyTypeObject*>(run_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = alloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* r = reinterpret_cast<RunObject*>(object);
    r->run = run.release();
    r->owner = Py_NewRef(self);
    return object;
  });
}

PyObject* engine_graph(PyObject* self, void*) noexcept {
  PyObject* graph = engine_of(self).graph();
  return Py_NewRef(graph != nullptr ? graph : Py_None);
}
PyObject* engine_stale(PyObject* self, void*) noexcept { return PyBool_FromLong(engine_of(self).stale()); }
PyObject* engine_broken(PyObject* self, void*) noexcept { return Py_NewRef(engine_of(self).broken()); }

PyMethodDef engine_methods[] = {
    {"declare", engine_declare, METH_O, "Declare a node (a movra._declare.Node), keeping the state of one it replaces."},
    {"update_function", engine_update_function, METH_VARARGS, "The same definition again: a new function object."},
    {"remove", engine_remove, METH_O, "Remove nodes by name, with their state."},
    {"names", engine_names, METH_NOARGS, "Node names in declaration order."},
    {"definition", engine_definition, METH_O, "A node's definition, or None."},
    {"bad_dependencies", engine_bad_dependencies, METH_NOARGS,
     "(name, dependency) of each node depending on an unknown node or on itself."},
    {"definitions", engine_definitions, METH_NOARGS, "A new dict of name to definition, in declaration order."},
    {"rebuild", engine_rebuild, METH_O, "Build every node not in the dict given; a cycle's ids, or None."},
    {"enqueue", engine_enqueue, METH_O, "set()/refresh() changes: applied now, or when the lock is let go."},
    {"drop", engine_drop, METH_O, "Forget lost values: each node runs again."},
    {"value", engine_value, METH_O, "A node's value, or the missing marker."},
    {"info", engine_info, METH_O, "(state, has value, forced, failure, memo, previous memo, hash, memo current)."},
    {"set_watchers", engine_set_watchers, METH_O, "The dict whose keys are the watched nodes."},
    {"held_here", engine_held_here, METH_NOARGS, "Whether this thread holds the flow's lock."},
    {"size", engine_len, METH_NOARGS, "The number of nodes."},
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_run)), METH_VARARGS | METH_KEYWORDS,
     "A run (a context manager holding the flow's lock)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef engine_getset[] = {
    {"graph", engine_graph, nullptr, "The kernel graph of the current build, or None.", nullptr},
    {"stale", engine_stale, nullptr, "Whether definitions changed since the last build.", nullptr},
    {"broken", engine_broken, nullptr, "Nodes left out of the current build, with the reason.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(engine_clear)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {Py_tp_doc, const_cast<char*>("A flow's nodes and their state; private to movra.Flow.")},
    {0, nullptr},
};

PyType_Spec engine_spec = {"movra._engine.Engine", sizeof(EngineObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, engine_slots};

// ---------------------------------------------------------------------------
// Run.

int run_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  auto* r = reinterpret_cast<RunObject*>(self);
  Py_VISIT(r->owner);
  return r->run != nullptr ? r->run->traverse(visit, arg) : 0;
}

void run_dealloc(PyObject* self) noexcept {
  PyObject* type = free_object(self);
  auto* r = reinterpret_cast<RunObject*>(self);
  if (r->run != nullptr) {
    if (r->run->entered()) {  // never left: leave now, so the lock is not lost
      PyObject *t, *v, *tb;
      PyErr_Fetch(&t, &v, &tb);
      if (!r->run->exit()) PyErr_WriteUnraisable(self);
      PyErr_Restore(t, v, tb);
    }
    delete std::exchange(r->run, nullptr);
  }
  Py_DecRef(std::exchange(r->owner, nullptr));
  release_type(self, type);
}

bool entered(Run& run) {
  if (run.entered()) return true;
  PyErr_SetString(PyExc_RuntimeError, "the run is over");
  return false;
}

PyObject* run_enter(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    if (run_of(self).enter()) return Py_NewRef(self);
    return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);  // busy, and told not to wait
  });
}

PyObject* run_exit(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* { return run_of(self).exit() ? Py_NewRef(Py_False) : nullptr; });
}

PyObject* run_start(PyObject* self, PyObject* targets) noexcept {
  if (targets != Py_None && !PyList_Check(targets))
    return PyErr_SetString(PyExc_TypeError, "targets must be a list or None"), nullptr;
  return guarded([&] { return none_if(entered(run_of(self)) && run_of(self).start(targets)); });
}

PyObject* run_inline(PyObject* self, PyObject*) noexcept {
  return guarded([&] { return none_if(entered(run_of(self)) && run_of(self).run_inline()); });
}

PyObject* run_ready(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* { return entered(run_of(self)) ? run_of(self).ready() : nullptr; });
}

PyObject* run_complete(PyObject* self, PyObject* args) noexcept {
  Py_ssize_t token;
  PyObject *value, *hash;
  if (!PyArg_ParseTuple(args, "nOO:complete", &token, &value, &hash)) return nullptr;
  return guarded([&] {
    return none_if(entered(run_of(self)) && run_of(self).complete(static_cast<std::size_t>(token), value, hash));
  });
}

PyObject* run_fail(PyObject* self, PyObject* args) noexcept {
  Py_ssize_t token;
  PyObject* error;
  if (!PyArg_ParseTuple(args, "nO:fail", &token, &error)) return nullptr;
  if (!PyExceptionInstance_Check(error)) return PyErr_SetString(PyExc_TypeError, "fail() takes an exception"), nullptr;
  return guarded([&] {
    return none_if(entered(run_of(self)) && run_of(self).fail(static_cast<std::size_t>(token), error));
  });
}

PyObject* run_expected(PyObject* self, PyObject* token) noexcept {
  const Py_ssize_t k = PyLong_AsSsize_t(token);
  if (k == -1 && PyErr_Occurred()) return nullptr;
  return guarded([&] { return run_of(self).expected(static_cast<std::size_t>(k)); });
}

PyObject* run_lose(PyObject* self, PyObject* args) noexcept {
  PyObject *name, *error;
  if (!PyArg_ParseTuple(args, "UO:lose", &name, &error)) return nullptr;
  return guarded([&] { return none_if(entered(run_of(self)) && run_of(self).lose(name, error)); });
}

PyObject* run_spoil(PyObject* self, PyObject* name) noexcept {
  return guarded([&] { return none_if(entered(run_of(self)) && run_of(self).spoil(name)); });
}

PyObject* run_outcome(PyObject* self, PyObject*) noexcept {
  return guarded([&] { return run_of(self).outcome(); });
}

PyObject* run_finished(PyObject* self, void*) noexcept { return PyBool_FromLong(run_of(self).finished()); }
PyObject* run_in_flight(PyObject* self, void*) noexcept { return PyLong_FromSize_t(run_of(self).in_flight()); }
PyObject* run_computed(PyObject* self, void*) noexcept { return PyLong_FromSize_t(run_of(self).computed()); }

PyMethodDef run_methods[] = {
    {"__enter__", run_enter, METH_NOARGS, "Take the flow's lock and apply queued changes."},
    {"__exit__", run_exit, METH_VARARGS, "Force what is in flight to run again; let the lock go."},
    {"start", run_start, METH_O, "Schedule the dirty nodes (None), or what a list of targets needs."},
    {"run_inline", run_inline, METH_NOARGS, "Run the schedule on this thread."},
    {"ready", run_ready, METH_NOARGS, "Settle what needs no call; the jobs (token, definition, args, kwargs)."},
    {"complete", run_complete, METH_VARARGS, "complete(token, value, hash or None): a job's value."},
    {"fail", run_fail, METH_VARARGS, "fail(token, error): a job's failure."},
    {"expected", run_expected, METH_O, "A job's arguments' content hashes (None where not hashed)."},
    {"lose", run_lose, METH_VARARGS, "lose(name, error): a value lost elsewhere fails its node."},
    {"spoil", run_spoil, METH_O, "A value changed in place: recomputed (or recommitted) by the next run."},
    {"outcome", run_outcome, METH_NOARGS, "The report's lists, and the changes for watchers."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef run_getset[] = {
    {"finished", run_finished, nullptr, "Nothing ready and nothing in flight.", nullptr},
    {"in_flight", run_in_flight, nullptr, "Jobs handed out and not yet back.", nullptr},
    {"computed", run_computed, nullptr, "The computed (not input) nodes the run schedules.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot run_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(run_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(run_traverse)},
    {Py_tp_methods, run_methods},
    {Py_tp_getset, run_getset},
    {Py_tp_doc, const_cast<char*>("One run of a flow; private to movra.Flow.")},
    {0, nullptr},
};

PyType_Spec run_spec = {"movra._engine.Run", sizeof(RunObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, run_slots};

// ---------------------------------------------------------------------------
// The module.

bool intern_names() {
  const std::pair<PyObject**, const char*> table[] = {
      {&interned.name, "name"},     {&interned.kind, "kind"},         {&interned.func, "func"},
      {&interned.deps, "deps"},     {&interned.call, "call"},         {&interned.cutoff, "cutoff"},
      {&interned.hashed, "hashed"}, {&interned.version, "version"},   {&interned.is_async, "is_async"},
      {&interned.positional, "positional"}, {&interned.keywords, "keywords"}, {&interned.input, "input"},
      {&interned.source, "source"}, {&interned.reactive, "reactive"}, {&interned.load, "load"},
      {&interned.save, "save"},     {&interned.freeze, "freeze"},     {&interned.unhashable, "unhashable"},
      {&interned.ndarray, "ndarray"},  {&interned.start, "start"},       {&interned.finish, "finish"},
      {&interned.cut_off, "cut_off"},  {&interned.loaded, "loaded"},     {&interned.memo_hit, "memo_hit"},
      {&interned.failed, "failed"},    {&interned.blocked, "blocked"},
  };
  for (auto [slot, text] : table)
    if (*slot == nullptr && (*slot = PyUnicode_InternFromString(text)) == nullptr) return false;
  return true;
}

// The kernel's Graph type, checked to have this build's layout, and the
// hasher's capsule.
bool link_siblings() {
  Ref kernel = Ref::steal(PyImport_ImportModule("movra._movra"));
  if (!kernel) return false;
  Ref type = Ref::steal(PyObject_GetAttrString(kernel.get(), "Graph"));
  if (!type) return false;
  Ref size = Ref::steal(PyObject_GetAttrString(type.get(), "__basicsize__"));
  if (!size) return false;
  if (PyLong_AsSsize_t(size.get()) != static_cast<Py_ssize_t>(sizeof(py::GraphObject))) {
    PyErr_SetString(PyExc_ImportError, "movra._engine and movra._movra come from different builds: reinstall movra");
    return false;
  }
  Ref hashing = Ref::steal(PyImport_ImportModule("movra._hashing"));
  if (!hashing) return false;
  Ref capsule = Ref::steal(PyObject_GetAttrString(hashing.get(), "_api"));
  if (!capsule) return false;
  auto* api = static_cast<const hashing::Api*>(PyCapsule_GetPointer(capsule.get(), hashing::kApiCapsule));
  if (api == nullptr) return false;
  if (api->size != sizeof(hashing::Api)) {
    PyErr_SetString(PyExc_ImportError, "movra._engine and movra._hashing come from different builds: reinstall movra");
    return false;
  }
  hash_api = api;
  graph_type = type.release();  // kept for the life of the process
  return true;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_engine", "The run engine behind movra.Flow (private).", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1 && PyErr_Occurred()) return nullptr;
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "movra._engine does not support subinterpreters: it can only be "
                    "imported in the interpreter that first imported it");
    return nullptr;
  }
  if (!intern_names() || (graph_type == nullptr && !link_siblings())) return nullptr;
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  if (engine_type == nullptr && (engine_type = PyType_FromSpec(&engine_spec)) == nullptr) return nullptr;
  if (run_type == nullptr && (run_type = PyType_FromSpec(&run_spec)) == nullptr) return nullptr;
  if (PyModule_AddObject(module.get(), "Engine", Py_NewRef(engine_type)) < 0) return nullptr;
  if (PyModule_AddObject(module.get(), "Run", Py_NewRef(run_type)) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace movra::engine

PyMODINIT_FUNC PyInit__engine() {
  return movra::engine::guarded([] { return movra::engine::init_module(); });
}

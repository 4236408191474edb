// module.cpp - the _movra extension module: PyInit__movra, kernel_version and Graph.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "args.hpp"
#include "core/graph.hpp"
#include "errors.hpp"
#include "graph_object.hpp"
#include "method.hpp"
#include "pyref.hpp"
#include "results.hpp"

namespace movra::py {
namespace {

using core::Graph;
using std::string_view;
using std::uint64_t;

// ---------------------------------------------------------------------------
// Method bodies: convert nothing, call the kernel, convert its result back.

PyObject* add_node(Graph& g, string_view id, string_view kind) { return finish(g.add_node(id, kind)); }
PyObject* set_deps(Graph& g, string_view id, const StrList& deps) { return finish(g.set_deps(id, deps.views())); }
PyObject* build(Graph& g) { return finish(g.build()); }
PyObject* topo_order(Graph& g) { return finish(g.topo_order()); }
PyObject* dirty_subgraph(Graph& g, const StrList& seeds) { return finish(g.dirty_subgraph(seeds.views())); }
// The Python list is made before any state is written, so that a MemoryError
// from the interpreter leaves the graph as it was.
PyObject* mark_dirty(Graph& g, const StrList& seeds) {
  const auto reached = g.dirty_subgraph(seeds.views());
  Ref list = Ref::steal(finish(reached));
  if (list) g.set_dirty(*reached);
  return list.release();
}
PyObject* downstream(Graph& g, string_view id) { return finish(g.downstream(id)); }
PyObject* needs_recompute(Graph& g, string_view id, uint64_t h) { return finish(g.needs_recompute(id, h)); }
PyObject* check_node(Graph& g, string_view id) { return finish(g.check_node(id)); }
PyObject* commit_node(Graph& g, string_view id, uint64_t s) { return finish(g.commit_node(id, s)); }
PyObject* skip_node(Graph& g, string_view id, uint64_t s) { return finish(g.skip_node(id, s)); }
PyObject* commit_input(Graph& g, string_view id, uint64_t h) { return finish(g.commit_input(id, h)); }
PyObject* set_clean(Graph& g, string_view id, uint64_t h) { return finish(g.set_clean(id, h)); }
PyObject* set_computing(Graph& g, string_view id) { return finish(g.set_computing(id)); }
PyObject* set_dirty(Graph& g, string_view id) { return finish(g.set_dirty(id)); }
PyObject* state_of(Graph& g, string_view id) { return finish(g.state_of(id)); }
PyObject* kind_of(Graph& g, string_view id) { return finish(g.kind_of(id)); }
PyObject* deps_of(Graph& g, string_view id) { return finish(g.deps_of(id)); }
PyObject* dirty_nodes(Graph& g) { return finish(g.dirty_nodes()); }
PyObject* views(Graph& g) { return finish(g.views()); }
PyObject* node_ids(Graph& g) { return to_python(g.node_ids()); }

// ---------------------------------------------------------------------------
// Method descriptions, in the order of the type's method table.

constexpr auto Shared = Access::Shared;
constexpr auto Exclusive = Access::Exclusive;

constexpr Method<Str, Str> kAddNode{"add_node", {"id", "kind"}, Exclusive,
    "Register a node. `kind` is one of input|source|reactive|view."};
constexpr Method<Str, Strs> kSetDeps{"set_deps", {"id", "deps"}, Exclusive,
    "Set a node's inbound edges (its dependencies). All deps must exist."};
constexpr Method<> kBuild{"build", {}, Exclusive,
    "Validate the graph is acyclic and cache a topological order. Call once\n"
    "after all nodes and edges are declared."};
constexpr Method<> kTopoOrder{"topo_order", {}, Shared,
    "Full build order: all node ids, topologically sorted."};
constexpr Method<Strs> kDirtySubgraph{"dirty_subgraph", {"seeds"}, Shared,
    "Recompute schedule for changed seeds: the seeds plus all transitively\n"
    "affected nodes, topologically ordered. Pure \u2014 does not mutate state."};
constexpr Method<Strs> kMarkDirty{"mark_dirty", {"seeds"}, Exclusive,
    "Mark seeds and everything downstream `dirty`; return them topo-ordered."};
constexpr Method<Str> kDownstream{"downstream", {"id"}, Shared,
    "Nodes strictly downstream of `id`, topologically ordered."};
constexpr Method<Str, U64> kNeedsRecompute{"needs_recompute", {"id", "input_hash"}, Shared,
    "Does `id` need recomputation given the content hash of its inputs?"};
constexpr Method<Str> kCheckNode{"check_node", {"id"}, Shared,
    "Hot-path per-node decision: `(kind, needs_recompute, signature)` in one\n"
    "call. The signature folds the node's dependency state (Input deps by\n"
    "content hash, computed deps by epoch) entirely in C++."};
constexpr Method<Str, U64> kCommitNode{"commit_node", {"id", "signature"}, Exclusive,
    "Commit a computed node clean with the signature it ran on; bumps its epoch."};
constexpr Method<Str, U64> kSkipNode{"skip_node", {"id", "signature"}, Exclusive,
    "Commit a memo hit: mark clean without bumping the epoch."};
constexpr Method<Str, U64> kCommitInput{"commit_input", {"id", "content_hash"}, Exclusive,
    "Record an Input node's current value hash for downstream signatures."};
constexpr Method<Str, U64> kSetClean{"set_clean", {"id", "hash"}, Exclusive,
    "Commit `id` clean with the content hash it was computed from."};
constexpr Method<Str> kSetComputing{"set_computing", {"id"}, Exclusive, ""};
constexpr Method<Str> kSetDirty{"set_dirty", {"id"}, Exclusive, ""};
constexpr Method<Str> kStateOf{"state_of", {"id"}, Shared, ""};
constexpr Method<Str> kKindOf{"kind_of", {"id"}, Shared, ""};
constexpr Method<Str> kDepsOf{"deps_of", {"id"}, Shared, ""};
constexpr Method<> kDirtyNodes{"dirty_nodes", {}, Shared,
    "All currently-dirty node ids, topologically ordered."};
constexpr Method<> kViews{"views", {}, Shared, "View-kind node ids in topological order."};
constexpr Method<> kNodeIds{"node_ids", {}, Shared, "All node ids in insertion order."};

template <class... Entries>
struct MethodTable {
  static bool intern() noexcept { return (Entries::intern() && ...); }
  static PyMethodDef* defs() {
    static PyMethodDef table[sizeof...(Entries) + 1];
    std::size_t i = 0;
    ((table[i++] = Entries::def()), ...);
    table[i] = PyMethodDef{nullptr, nullptr, 0, nullptr};
    return table;
  }
};

using GraphMethods = MethodTable<
    MethodEntry<kAddNode, add_node>,
    MethodEntry<kSetDeps, set_deps>,
    MethodEntry<kBuild, build>,
    MethodEntry<kTopoOrder, topo_order>,
    MethodEntry<kDirtySubgraph, dirty_subgraph>,
    MethodEntry<kMarkDirty, mark_dirty>,
    MethodEntry<kDownstream, downstream>,
    MethodEntry<kNeedsRecompute, needs_recompute>,
    MethodEntry<kCheckNode, check_node>,
    MethodEntry<kCommitNode, commit_node>,
    MethodEntry<kSkipNode, skip_node>,
    MethodEntry<kCommitInput, commit_input>,
    MethodEntry<kSetClean, set_clean>,
    MethodEntry<kSetComputing, set_computing>,
    MethodEntry<kSetDirty, set_dirty>,
    MethodEntry<kStateOf, state_of>,
    MethodEntry<kKindOf, kind_of>,
    MethodEntry<kDepsOf, deps_of>,
    MethodEntry<kDirtyNodes, dirty_nodes>,
    MethodEntry<kViews, views>,
    MethodEntry<kNodeIds, node_ids>>;

// ---------------------------------------------------------------------------
// Slots.

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  if (!bind_tuple({"__new__", {}, {}}, args, kwargs)) return nullptr;
  return guarded([&]() -> PyObject* {
    Graph graph;  // draws the id registry's random key
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = (alloc != nullptr ? alloc : PyType_GenericAlloc)(type, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<GraphObject*>(self);
    new (&object->graph) Graph(std::move(graph));
    new (&object->borrows) std::atomic<std::uintptr_t>(0);
    object->build = kBuildStamp;
    return self;
  });
}

void graph_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = reinterpret_cast<GraphObject*>(self);
  object->graph.~Graph();
  object->borrows.~atomic();
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

Py_ssize_t graph_length(PyObject* self) noexcept {
  Borrow borrow(self, Access::Shared);
  if (!borrow) return -1;
  return static_cast<Py_ssize_t>(borrow.graph().size());
}

int graph_contains(PyObject* self, PyObject* id) noexcept {
  Borrow borrow(self, Access::Shared);
  if (!borrow) return -1;
  string_view text;
  if (!Str::convert(id, text)) {
    name_conversion_error("id");
    return -1;
  }
  return borrow.graph().contains(text) ? 1 : 0;
}

PyObject* graph_repr(PyObject* self) noexcept {
  Borrow borrow(self, Access::Shared);
  if (!borrow) return nullptr;
  return PyUnicode_FromFormat("<movra.Graph nodes=%zu>", borrow.graph().size());
}

constexpr char kGraphDoc[] =
    "Graph()\n--\n\n"
    "A reactive directed acyclic graph: dirty tracking, topological scheduling,\n"
    "propagation, and memo bookkeeping. Holds topology and state only \u2014 node\n"
    "values stay on the Python side.";

// The type lives as long as the process; a failed attempt leaves it unset so
// that the next import tries again.
PyObject* graph_type() noexcept {
  static PyObject* type = nullptr;
  if (type != nullptr) return type;
  type = guarded([]() -> PyObject* {
    if (!GraphMethods::intern() || !intern_names()) return nullptr;
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kGraphDoc)},
        {Py_tp_new, reinterpret_cast<void*>(graph_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(graph_dealloc)},
        {Py_mp_length, reinterpret_cast<void*>(graph_length)},
        {Py_sq_contains, reinterpret_cast<void*>(graph_contains)},
        {Py_tp_repr, reinterpret_cast<void*>(graph_repr)},
        {Py_tp_methods, nullptr},
        {0, nullptr},
    };
    slots[6].pfunc = GraphMethods::defs();
    static PyType_Spec spec = {"movra._movra.Graph", static_cast<int>(sizeof(GraphObject)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return PyType_FromSpec(&spec);
  });
  if (type == nullptr) raise_with_cause(PyExc_RuntimeError, "An error occurred while initializing class Graph");
  return type;
}

// ---------------------------------------------------------------------------
// The module.

PyObject* kernel_version(PyObject*, PyObject*) noexcept { return new_str(core::kKernelVersion); }

PyMethodDef kernel_version_def = {"kernel_version", kernel_version, METH_NOARGS,
                                  "kernel_version()\n--\n\nVersion of the compiled C++ kernel."};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_movra", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;
std::atomic<std::int64_t> owning_interpreter{-1};

/// Appends `name` to the module's __all__ (making the list if there is none)
/// and sets the attribute.
bool add_public(PyObject* module, PyObject* name, PyObject* value) noexcept {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    raise_panic("could not add a name to __all__");
    return false;
  }
  return PyObject_SetAttr(module, name, value) == 0;
}

bool populate(PyObject* module) noexcept {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  Ref function = Ref::steal(PyCMethod_New(&kernel_version_def, module, module_name.get(), nullptr));
  if (!function) return false;
  Ref function_name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name || !add_public(module, function_name.get(), function.get())) return false;

  PyObject* type = graph_type();
  if (type == nullptr) return false;
  Ref type_name = Ref::steal(PyUnicode_FromString("Graph"));
  return type_name && add_public(module, type_name.get(), type);
}

PyObject* init_module() noexcept {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1 && PyErr_Occurred()) return nullptr;
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, interpreter) &&
      expected != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "movra._movra does not support subinterpreters: it can only be "
                    "imported in the interpreter that first imported it");
    return nullptr;
  }
  if (cached_module != nullptr) return new_ref(cached_module);

  Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
  if (!module || !populate(module.get())) return nullptr;
  cached_module = module.release();
  return new_ref(cached_module);
}

}  // namespace
}  // namespace movra::py

PyMODINIT_FUNC PyInit__movra(void) {
  return movra::py::guarded([] { return movra::py::init_module(); });
}

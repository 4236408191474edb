// method.hpp - Graph methods generated from a declarative description.
#pragma once

#include <Python.h>

#include <array>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "args.hpp"
#include "errors.hpp"
#include "graph_object.hpp"

namespace movra::py {

/// One method of Graph: its name, its parameters (each type names the
/// converter of its argument), the access it takes and the body of its doc
/// string.  The text signature is derived from the parameter names.
template <class... Params>
struct Method {
  const char* name;
  std::array<const char*, sizeof...(Params)> params;
  Access access;
  const char* doc;
};

template <const auto& M, auto Body, class Description = std::remove_cvref_t<decltype(M)>>
struct MethodEntry;

/// The Python-facing function of method M, whose work is done by
///   PyObject* Body(core::Graph&, const Params::value_type&...)
/// A call runs:
///  1. bind the arguments to the parameters (no Python code runs here);
///  2. take shared or exclusive access to the graph;
///  3. convert the arguments in parameter order; the first failure is
///     reported against its parameter's name;
///  4. run the body, which calls the kernel and converts its result;
///  5. release the access, whatever happened.
template <const auto& M, auto Body, class... Params>
struct MethodEntry<M, Body, Method<Params...>> {
  static constexpr std::size_t kArity = sizeof...(Params);

  static PyMethodDef def() {
    doc_storage() = text_signature() + "\n--\n\n" + M.doc;
    if constexpr (kArity == 0)
      return {M.name, reinterpret_cast<PyCFunction>(noargs), METH_NOARGS, doc_storage().c_str()};
    else
      return {M.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall)),
              METH_FASTCALL | METH_KEYWORDS, doc_storage().c_str()};
  }

  /// Interns the parameter names; false with an exception set on failure.
  static bool intern() noexcept {
    for (std::size_t i = 0; i < kArity; ++i) {
      if (interned[i] == nullptr) interned[i] = PyUnicode_InternFromString(M.params[i]);
      if (interned[i] == nullptr) return false;
    }
    return true;
  }

 private:
  static inline std::array<PyObject*, kArity> interned{};

  static std::string& doc_storage() {
    static std::string doc;
    return doc;
  }

  static std::string text_signature() {
    std::string text = std::string(M.name) + "($self";
    for (const char* param : M.params) text += std::string(", ") + param;
    return text + ")";
  }

  static PyObject* noargs(PyObject* self, PyObject*) noexcept {
    Borrow borrow(self, M.access);
    if (!borrow) return nullptr;
    return guarded([&]() -> PyObject* { return Body(borrow.graph()); });
  }

  static PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    std::array<PyObject*, kArity> bound;
    if (!bind({M.name, M.params, interned}, args, nargs, kwnames, bound.data())) return nullptr;
    Borrow borrow(self, M.access);
    if (!borrow) return nullptr;
    return guarded([&]() -> PyObject* {
      return convert_and_run(borrow.graph(), bound, std::index_sequence_for<Params...>{});
    });
  }

  template <std::size_t... I>
  static PyObject* convert_and_run(core::Graph& graph, const std::array<PyObject*, kArity>& bound,
                                   std::index_sequence<I...>) {
    std::tuple<typename Params::value_type...> values;
    const bool converted = (convert<Params>(bound[I], M.params[I], std::get<I>(values)) && ...);
    if (!converted) return nullptr;
    return Body(graph, std::get<I>(values)...);
  }

  template <class Param>
  static bool convert(PyObject* argument, const char* name, typename Param::value_type& out) {
    if (Param::convert(argument, out)) return true;
    name_conversion_error(name);
    return false;
  }
};

}  // namespace movra::py

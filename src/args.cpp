// args.cpp - the one argument binder of the module and its converters.
#include "args.hpp"

#include <algorithm>

#include "errors.hpp"

namespace movra::py {
namespace {

// A sequence's length is only a hint: what it reserves is capped, so that a
// sequence that lies about its size cannot make the call reserve gigabytes.
constexpr Py_ssize_t kMaxReservedItems = 1 << 16;

Py_ssize_t parameter_of(const Signature& signature, PyObject* name) noexcept {
  const auto count = static_cast<Py_ssize_t>(signature.names.size());
  for (Py_ssize_t i = 0; i < count; ++i)
    if (signature.interned[i] == name) return i;
  for (Py_ssize_t i = 0; i < count; ++i)
    if (PyUnicode_CompareWithASCIIString(name, signature.names[i]) == 0) return i;
  return -1;
}

void raise_missing(const Signature& signature, PyObject* const* bound) noexcept {
  const char* missing[2];
  int count = 0;
  for (std::size_t i = 0; i < signature.names.size(); ++i)
    if (bound[i] == nullptr && count < 2) missing[count++] = signature.names[i];
  if (count == 1)
    PyErr_Format(PyExc_TypeError,
                 "Graph.%s() missing 1 required positional argument: '%s'",
                 signature.method, missing[0]);
  else
    PyErr_Format(PyExc_TypeError,
                 "Graph.%s() missing 2 required positional arguments: '%s' and '%s'",
                 signature.method, missing[0], missing[1]);
}

bool raise_type_cannot_convert(PyObject* object, const char* target) noexcept {
  Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
  if (type_name)
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(),
                 target);
  return false;
}

}  // namespace

// The order of checks, and so which message a faulty call gets:
//  1. too many positional arguments;
//  2. each keyword in the order given: unknown, or already bound;
//  3. parameters left unbound, all of them named in one message.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** bound) noexcept {
  const auto count = static_cast<Py_ssize_t>(signature.names.size());
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "Graph.%s() takes %zd positional arguments but %zd %s given",
                 signature.method, count, nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  std::fill_n(bound, count, nullptr);
  std::copy_n(args, nargs, bound);

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GetItem(kwnames, k);
    const Py_ssize_t i = parameter_of(signature, name);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "Graph.%s() got an unexpected keyword argument '%U'",
                   signature.method, name);
      return false;
    }
    if (bound[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "Graph.%s() got multiple values for argument '%U'",
                   signature.method, name);
      return false;
    }
    bound[i] = args[nargs + k];
  }

  if (std::find(bound, bound + count, nullptr) != bound + count) {
    raise_missing(signature, bound);
    return false;
  }
  return true;
}

bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs) noexcept {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs > 0 || kwargs == nullptr || PyDict_Size(kwargs) == 0)
    return bind(signature, nullptr, nargs, nullptr, nullptr);
  // Only reached with keywords for a constructor that takes none: the first
  // keyword is reported, exactly as a vectorcall would report it.
  Ref names = Ref::steal(PyDict_Keys(kwargs));
  if (!names) return false;
  Ref kwnames = Ref::steal(PySequence_Tuple(names.get()));
  if (!kwnames) return false;
  return bind(signature, nullptr, 0, kwnames.get(), nullptr);
}

void name_conversion_error(const char* parameter) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref original = fetch_exception();
  PyErr_Format(PyExc_TypeError, "argument '%s': %S", parameter, original.get());
  set_cause(Ref::steal(PyException_GetCause(original.get())));
}

bool Str::convert(PyObject* object, std::string_view& out) noexcept {
  if (!PyUnicode_Check(object)) return raise_type_cannot_convert(object, "PyString");
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return false;  // a lone surrogate: UnicodeEncodeError
  out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

bool U64::convert(PyObject* object, std::uint64_t& out) noexcept {
  Ref index;
  if (!PyLong_Check(object)) {
    index = Ref::steal(PyNumber_Index(object));
    if (!index) return false;
    object = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool Strs::convert(PyObject* object, StrList& out) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) return raise_type_cannot_convert(object, "Sequence");

  // A length that cannot be had is only a missing hint, except when asking
  // for it was interrupted or the program is exiting: those are not ours to
  // swallow.
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit))
      return false;
    PyErr_Clear();
  } else
    out.reserve(static_cast<std::size_t>(std::min(hint, kMaxReservedItems)));

  Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    std::string_view text;
    if (!Str::convert(item.get(), text)) return false;
    out.push(std::move(item), text);
  }
  return !PyErr_Occurred();
}

}  // namespace movra::py

#include "py.hpp"

#include <cstdint>

namespace tidewall {

PyObject* intern(const char* text) { return check(PyUnicode_InternFromString(text)); }

namespace detail {
namespace {

// Lays out [slot for self | self? | positional | keyword values] on the stack and calls.
template <typename Call>
Ref with_arguments(PyObject* self, std::initializer_list<PyObject*> positional,
                   PyObject* const* kwvalues, std::size_t kwcount, Call&& make_call) {
    PyObject* args[kMaxCallArgs + 2];
    std::size_t n = 1;
    if (self) args[n++] = self;
    if (positional.size() + kwcount + n > kMaxCallArgs + 2) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for one call");
        fail();
    }
    for (PyObject* a : positional) args[n++] = a;
    for (std::size_t i = 0; i < kwcount; ++i) args[n++] = kwvalues[i];
    const std::size_t nargs = n - 1 - kwcount;
    return Ref::steal(make_call(args + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET));
}

}  // namespace

Ref vectorcall(PyObject* f, std::initializer_list<PyObject*> positional, PyObject* const* kwvalues,
               std::size_t kwcount, PyObject* kwnames) {
    return with_arguments(nullptr, positional, kwvalues, kwcount,
                          [&](PyObject* const* args, std::size_t nargsf) {
                              return PyObject_Vectorcall(f, args, nargsf, kwnames);
                          });
}

Ref vectorcall_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> positional,
                      PyObject* const* kwvalues, std::size_t kwcount, PyObject* kwnames) {
    return with_arguments(self, positional, kwvalues, kwcount,
                          [&](PyObject* const* args, std::size_t nargsf) {
                              return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
                          });
}

}  // namespace detail

Ref text(std::initializer_list<PyObject*> pieces) {
    PyObject* items[detail::kMaxCallArgs];
    Py_ssize_t n = 0;
    for (PyObject* piece : pieces) {
        items[n] = PyUnicode_CheckExact(piece) ? Py_NewRef(piece) : PyObject_Str(piece);
        if (!items[n]) break;
        ++n;
    }
    PyObject* joined = n == static_cast<Py_ssize_t>(pieces.size())
                           ? _PyUnicode_JoinArray(""_id, items, n)
                           : nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(items[i]);
    return Ref::steal(joined);
}

namespace {

// What a name was found as, valid while neither the module's dict nor (for a builtin) the
// builtins' dict has changed since: a dict's version tag changes with every change to it, and no
// two dicts ever share one.
struct Found {
    PyObject* dict = nullptr;
    PyObject* name = nullptr;
    uint64_t dict_version = 0;
    PyObject* builtins = nullptr;  // null: found in the module's dict
    uint64_t builtins_version = 0;
    PyObject* value = nullptr;  // borrowed from the dict that holds it
};
Found found[256];

uint64_t version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

}  // namespace

Ref Scope::operator[](PyObject* name) const {
    Found& f = found[(reinterpret_cast<uintptr_t>(name) >> 4) & 255];
    if (f.name == name && f.dict == dict_ && f.dict_version == version(dict_)) {
        if (!f.builtins) return Ref::borrow(f.value);
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins == f.builtins && f.builtins_version == version(builtins))
            return Ref::borrow(f.value);
    }
    PyObject* v = PyDict_GetItemWithError(dict_, name);  // borrowed
    if (v) {
        f = Found{dict_, name, version(dict_), nullptr, 0, v};
        return Ref::borrow(v);
    }
    if (PyErr_Occurred()) fail();
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins && (v = PyDict_GetItemWithError(builtins, name))) {
        f = Found{dict_, name, version(dict_), builtins, version(builtins), v};
        return Ref::borrow(v);
    }
    if (PyErr_Occurred()) fail();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    fail();
}

Ref import_name(const char* module, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!name) return mod;
    PyObject* value = nullptr;
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (check(_PyObject_LookupAttr(mod, key, &value))) return Ref::steal(value);
    PyObject* path = nullptr;
    check(_PyObject_LookupAttr(mod, "__file__"_id, &path));
    Ref file = Ref::steal(path ? path : Ref::borrow(Py_None).release());
    Ref message = Ref::steal(
        file.is_none() ? PyUnicode_FromFormat(
                             "cannot import name '%s' from '%s' (unknown location)", name, module)
                       : PyUnicode_FromFormat("cannot import name '%s' from '%s' (%S)", name,
                                              module, file.get()));
    Ref module_name = Ref::steal(PyUnicode_FromString(module));
    PyErr_SetImportError(message, module_name, file);
    fail();
}

void raise(PyObject* cls, PyObject* message) {
    Ref exc = call(cls, message);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc);
    fail();
}

Caught::Caught() {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    if (trace && value) PyException_SetTraceback(value, trace);
    type_ = Ref::steal(type ? type : Ref::borrow(PyExc_SystemError).release());
    value_ = Ref::steal(value ? value : Ref::borrow(Py_None).release());
    trace_ = trace ? Ref::steal(trace) : Ref();
}

void Caught::rethrow() {
    PyErr_Restore(type_.release(), value_.release(), trace_.release());
    fail();
}

}  // namespace tidewall

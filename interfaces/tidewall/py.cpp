#include "py.hpp"

#include <cstdint>
#include <cstring>

namespace tidewall {

PyObject* intern(const char* text) { return check(PyUnicode_InternFromString(text)); }

namespace detail {

PyObject* failed_silently(PyObject* callable) {
    PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", callable);
    return nullptr;
}

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
                              return fast_call(f, args, nargsf, kwnames);
                          });
}

Ref vectorcall_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> positional,
                      PyObject* const* kwvalues, std::size_t kwcount, PyObject* kwnames) {
    return with_arguments(self, positional, kwvalues, kwcount,
                          [&](PyObject* const* args, std::size_t nargsf) {
                              return fast_call_method(name, args, nargsf, kwnames);
                          });
}

}  // namespace detail

PyObject* detail::record_shape(std::initializer_list<PyObject*> keys) {
    Ref shape = Ref::steal(PyDict_New());
    for (PyObject* key : keys) check(PyDict_SetItem(shape, key, Py_None));
    return shape.release();  // kept for the life of the process
}

namespace {

// "".join(items): one new str of the total length and widest kind, the pieces copied in (a piece
// of that kind byte for byte).
PyObject* join(PyObject* const* items, Py_ssize_t n) {
    if (n == 1 && PyUnicode_CheckExact(items[0])) return Py_NewRef(items[0]);
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t piece = PyUnicode_GET_LENGTH(items[i]);
        if (piece > PY_SSIZE_T_MAX - length) return PyErr_NoMemory();
        length += piece;
        if (PyUnicode_MAX_CHAR_VALUE(items[i]) > widest)
            widest = PyUnicode_MAX_CHAR_VALUE(items[i]);
    }
    PyObject* joined = PyUnicode_New(length, widest);
    if (!joined) return nullptr;
    const int kind = PyUnicode_KIND(joined);
    char* data = static_cast<char*>(PyUnicode_DATA(joined));
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t piece = PyUnicode_GET_LENGTH(items[i]);
        if (PyUnicode_KIND(items[i]) == kind) {
            std::memcpy(data + at * kind, PyUnicode_DATA(items[i]), piece * kind);
        } else if (PyUnicode_CopyCharacters(joined, at, items[i], 0, piece) < 0) {
            Py_DECREF(joined);
            return nullptr;
        }
        at += piece;
    }
    return joined;
}

}  // namespace

Ref text(std::initializer_list<PyObject*> pieces) {
    PyObject* items[detail::kMaxCallArgs];
    Py_ssize_t n = 0;
    for (PyObject* piece : pieces) {
        items[n] = PyUnicode_CheckExact(piece) ? Py_NewRef(piece) : PyObject_Str(piece);
        if (!items[n]) break;
        ++n;
    }
    PyObject* joined = n == static_cast<Py_ssize_t>(pieces.size()) ? join(items, n) : nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(items[i]);
    return Ref::steal(joined);
}

namespace detail {
Found found[kFoundSlots];
}  // namespace detail

PyObject* detail::module_attr_lookup(PyObject* dict, PyObject* name) {
    detail::Found& f = detail::found_slot(name);
    // ModuleType's own attributes (__dict__, __class__, ...) come first for a module; a missing
    // name goes to the module's __getattr__ or fails with the interpreter's AttributeError.
    if (versions::class_lookup(&PyModule_Type, name)) return nullptr;
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (!v) {
        if (PyErr_Occurred()) fail();
        return nullptr;
    }
    f = detail::Found{dict, name, versions::remember(dict), nullptr, 0, v};
    return v;
}

namespace {

// What a lookup on a class found, kept while the class's version tag stays the same.
struct ClassEntry {
    PyTypeObject* type = nullptr;
    PyObject* name = nullptr;
    unsigned int version = 0;
    PyObject* value = nullptr;  // borrowed from the class's namespace
    bool with_class = false;

    bool holds(PyTypeObject* t, PyObject* n) const {
        return type == t && name == n && (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) &&
               version == t->tp_version_tag;
    }
};
ClassEntry class_found[64];
ClassEntry value_found[64];

// The function a class method or static method wraps: its __func__, held by the descriptor.
PyObject* wrapped(PyObject* descr) {
    PyObject* f = PyObject_GetAttr(descr, "__func__"_id);
    if (!f) fail();
    Py_DECREF(f);
    return f;
}

}  // namespace

PyObject* class_callable_fast(PyObject* cls, PyObject* name, bool* with_class) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    PyTypeObject* meta = Py_TYPE(cls);
    ClassEntry& f = class_found[(reinterpret_cast<uintptr_t>(name) >> 4) % 64];
    if (f.holds(type, name)) {
        *with_class = f.with_class;
        return f.value;
    }
    // The metaclass's own attributes and attribute protocol come first.
    if (meta->tp_getattro != PyType_Type.tp_getattro || versions::class_lookup(meta, name))
        return nullptr;
    PyObject* descr =
        versions::class_lookup(type, name);  // borrowed; gives the class a version tag
    if (!descr || !(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return nullptr;
    const unsigned int version = type->tp_version_tag;
    PyObject* callable = nullptr;
    bool first = false;
    if (Py_IS_TYPE(descr, &PyClassMethod_Type)) {
        callable = wrapped(descr);
        first = true;
    } else if (Py_IS_TYPE(descr, &PyStaticMethod_Type)) {
        callable = wrapped(descr);
    } else if (PyFunction_Check(descr)) {
        callable = descr;
    } else {
        return nullptr;
    }
    f = ClassEntry{type, name, version, callable, first};
    *with_class = first;
    return callable;
}

PyObject* class_value_fast(PyObject* cls, PyObject* name) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    const uintptr_t key =
        (reinterpret_cast<uintptr_t>(name) >> 4) ^ (reinterpret_cast<uintptr_t>(cls) >> 6);
    ClassEntry& f = value_found[key % 64];
    if (f.holds(type, name)) return f.value;
    // The attributes of `type` itself (__name__, __dict__, mro, ...) come first; a value with a
    // __get__ (function, class method, property) is the descriptor's business.
    if (!PyUnicode_CheckExact(name) || versions::class_lookup(&PyType_Type, name)) return nullptr;
    PyObject* value =
        versions::class_lookup(type, name);  // borrowed; gives the class a version tag
    if (!value || Py_TYPE(value)->tp_descr_get || !(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
        return nullptr;
    f = ClassEntry{type, name, type->tp_version_tag, value, false};
    return value;
}

Ref Scope::lookup(PyObject* name) const {
    detail::Found& f = detail::found_slot(name);
    PyObject* v = PyDict_GetItemWithError(dict_, name);  // borrowed
    if (v) {
        f = detail::Found{dict_, name, versions::remember(dict_), nullptr, 0, v};
        return Ref::borrow(v);
    }
    if (PyErr_Occurred()) fail();
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins && (v = PyDict_GetItemWithError(builtins, name))) {
        f = detail::Found{
            dict_, name, versions::remember(dict_), builtins, versions::remember(builtins), v};
        return Ref::borrow(v);
    }
    if (PyErr_Occurred()) fail();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    fail();
}

namespace {

// obj.name, or none when it has no such attribute (another error propagates).
Ref optional_attr(PyObject* obj, PyObject* name) {
    PyObject* value = PyObject_GetAttr(obj, name);
    if (value) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
    PyErr_Clear();
    return Ref();
}

}  // namespace

Ref import_name(const char* module, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!name) return mod;
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (Ref value = optional_attr(mod, key)) return value;
    Ref file = optional_attr(mod, "__file__"_id);
    if (!file) file = none();
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

// The interpreter as both extension modules use it: owned references, interned names, calls
// through the fast-call protocol, Python's own operators and lookups, and Python exceptions
// carried through C++ unchanged.
//
// A Python error travels through C++ as `PyError` with the interpreter's error indicator set;
// the entry points of the modules (define.hpp) hand it back to the interpreter as it was.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <tidewall/versions.hpp>
#include <utility>

namespace tidewall {

// The interpreter's error indicator is set.
struct PyError {};

[[noreturn]] inline void fail() { throw PyError{}; }
__attribute__((always_inline)) inline PyObject* check(PyObject* result) {
    if (!result) fail();
    return result;
}
inline int check(int result) {
    if (result < 0) fail();
    return result;
}

// An owned reference (or none).
class Ref {
  public:
    Ref() = default;
    // Takes over a new reference; null means the call that made it failed.
    __attribute__((always_inline)) static Ref steal(PyObject* p) {
        Ref r;
        r.p_ = check(p);
        return r;
    }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        Ref r;
        r.p_ = p;
        return r;
    }
    Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    operator PyObject*() const { return p_; }
    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    bool is_none() const { return p_ == Py_None; }

  private:
    PyObject* p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

// ---- interned names: "info"_id is the interned str "info", made once per process

template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) {  // NOLINT: implicit, for the literal operator
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

// The interned str of `text`, kept for the life of the process.
PyObject* intern(const char* text);

template <Literal L>
PyObject* name_of() {
    static PyObject* const name = intern(L.text);
    return name;
}
template <Literal L>
PyObject* operator""_id() {
    return name_of<L>();
}

// The keyword names of a call, as one tuple made once per process.
template <Literal... Names>
struct Kw {
    PyObject* values[sizeof...(Names)];

    template <typename... V>
    explicit Kw(const V&... v) : values{static_cast<PyObject*>(v)...} {
        static_assert(sizeof...(V) == sizeof...(Names), "one value per keyword");
    }
    static PyObject* names() {
        static PyObject* const tuple = make({Names.text...});
        return tuple;
    }

  private:
    static PyObject* make(std::initializer_list<const char*> texts) {
        PyObject* t = check(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
        Py_ssize_t i = 0;
        for (const char* text : texts) {
            PyObject* name = intern(text);
            Py_INCREF(name);
            PyTuple_SET_ITEM(t, i++, name);
        }
        return t;
    }
};

namespace detail {
// What a name was found as, valid while neither the module's dict nor (for a builtin) the
// builtins' dict has changed since (versions.hpp says how a change is seen).
struct Found {
    PyObject* dict = nullptr;
    PyObject* name = nullptr;
    uint64_t dict_version = 0;
    PyObject* builtins = nullptr;  // null: found in the module's dict
    uint64_t builtins_version = 0;
    PyObject* value = nullptr;  // borrowed from the dict that holds it
};
inline constexpr std::size_t kFoundSlots = 256;
extern Found found[kFoundSlots];
inline Found& found_slot(PyObject* name) {
    return found[(reinterpret_cast<uintptr_t>(name) >> 4) % kFoundSlots];
}
using versions::dict_version;
}  // namespace detail

// ---- calls (the fast-call protocol: no argument tuple or keyword dict is built)

namespace detail {
inline constexpr std::size_t kMaxCallArgs = 16;

// Sets the interpreter's SystemError for a callable that failed without an exception; null.
PyObject* failed_silently(PyObject* callable);

// f(*args): through the callable's vectorcall slot when it has one, as the interpreter's own
// specialised calls do (no result check but for a failure without an exception), else the
// interpreter's generic call.
__attribute__((always_inline)) inline PyObject* fast_call(PyObject* f, PyObject* const* args,
                                                          size_t nargsf, PyObject* kwnames) {
    PyTypeObject* tp = Py_TYPE(f);
    if (PyType_HasFeature(tp, Py_TPFLAGS_HAVE_VECTORCALL)) {
        vectorcallfunc slot;
        std::memcpy(&slot, reinterpret_cast<char*>(f) + tp->tp_vectorcall_offset, sizeof slot);
        if (slot) {
            PyObject* result = slot(f, args, nargsf, kwnames);
            return result || PyErr_Occurred() ? result : failed_silently(f);
        }
    }
    return PyObject_Vectorcall(f, args, nargsf, kwnames);
}

// args[0].name(*args[1:]): the interpreter's method call, which makes no bound method for a
// plain function found on the class.
__attribute__((always_inline)) inline PyObject* fast_call_method(PyObject* name,
                                                                 PyObject* const* args,
                                                                 size_t nargsf, PyObject* kwnames) {
    return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
}
Ref vectorcall(PyObject* f, std::initializer_list<PyObject*> positional, PyObject* const* kwvalues,
               std::size_t kwcount, PyObject* kwnames);
Ref vectorcall_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> positional,
                      PyObject* const* kwvalues, std::size_t kwcount, PyObject* kwnames);
}  // namespace detail

// f(a, b, ...)
template <typename... A>
Ref call(PyObject* f, const A&... a) {
    PyObject* args[sizeof...(A) + 1] = {nullptr, static_cast<PyObject*>(a)...};
    return Ref::steal(
        detail::fast_call(f, args + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(a, b, ..., k1=v1, ...)
template <Literal... Names>
Ref call(PyObject* f, std::initializer_list<PyObject*> positional, const Kw<Names...>& kw) {
    return detail::vectorcall(f, positional, kw.values, sizeof...(Names), kw.names());
}

namespace detail {
PyObject* module_attr_lookup(PyObject* dict, PyObject* name);
}  // namespace detail

// module.name, for a plain module: the value in its dict, remembered while the dict is
// unchanged (null when the lookup must go the long way: a ModuleType attribute, a missing name).
__attribute__((always_inline)) inline PyObject* module_attr_fast(PyObject* module, PyObject* name) {
    PyObject* dict = PyModule_GetDict(module);
    const detail::Found& f = detail::found_slot(name);
    if (f.name == name && f.dict == dict && !f.builtins &&
        f.dict_version == detail::dict_version(dict))
        return f.value;
    return detail::module_attr_lookup(dict, name);
}

// cls.name for a class whose attribute `name` is a class method, a static method or a plain
// function: what to call (the class goes first when `with_class`), remembered while the class is
// unchanged; null when the lookup must go the long way.
PyObject* class_callable_fast(PyObject* cls, PyObject* name, bool* with_class);

// self.name(a, b, ...), without a bound method object
template <typename... A>
Ref call_method(PyObject* self, PyObject* name, const A&... a) {
    PyObject* args[] = {self, static_cast<PyObject*>(a)...};
    constexpr std::size_t n = sizeof...(A);
    if (PyModule_CheckExact(self)) {
        if (PyObject* f = module_attr_fast(self, name))
            return Ref::steal(
                detail::fast_call(f, args + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    } else if (PyType_Check(self)) {
        bool with_class = false;
        if (PyObject* f = class_callable_fast(self, name, &with_class))
            return Ref::steal(
                with_class
                    ? detail::fast_call(f, args, n + 1, nullptr)
                    : detail::fast_call(f, args + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    return Ref::steal(
        detail::fast_call_method(name, args, (n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// self.name(a, b, ..., k1=v1, ...)
template <Literal... Names>
Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> positional,
                const Kw<Names...>& kw) {
    return detail::vectorcall_method(self, name, positional, kw.values, sizeof...(Names),
                                     kw.names());
}

// ---- values, with Python's own operators

// cls.name for a class whose metaclass is `type` and whose attribute `name` is a plain value
// (no descriptor): the value in the class's namespace, remembered while the class is unchanged;
// null when the lookup must go the long way.
PyObject* class_value_fast(PyObject* cls, PyObject* name);

// obj.name
inline Ref attr(PyObject* obj, PyObject* name) {
    if (Py_IS_TYPE(obj, &PyType_Type))
        if (PyObject* v = class_value_fast(obj, name)) return Ref::borrow(v);
    return Ref::steal(PyObject_GetAttr(obj, name));
}
// obj.name = value
inline void set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(obj, name, value));
}
// container[key]
inline Ref item(PyObject* container, PyObject* key) {
    return Ref::steal(PyObject_GetItem(container, key));
}
// container[index]
inline Ref at(PyObject* container, Py_ssize_t index) {
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return item(container, key);
}
// container[key] = value
inline void set_item(PyObject* container, PyObject* key, PyObject* value) {
    check(PyObject_SetItem(container, key, value));
}
// key in container
inline bool contains(PyObject* container, PyObject* key) {
    return check(PySequence_Contains(container, key)) != 0;
}
// bool(v)
inline bool truthy(PyObject* v) { return check(PyObject_IsTrue(v)) != 0; }
// `a <op> b` as a condition: the rich comparison's own answer, then its truth value (unlike
// PyObject_RichCompareBool, no shortcut for an object compared with itself).
inline bool compare(PyObject* a, PyObject* b, int op) {
    return truthy(Ref::steal(PyObject_RichCompare(a, b, op)));
}
inline bool equals(PyObject* a, PyObject* b) { return compare(a, b, Py_EQ); }
inline bool differs(PyObject* a, PyObject* b) { return compare(a, b, Py_NE); }
// len(v)
inline Py_ssize_t length(PyObject* v) {
    Py_ssize_t n = PyObject_Length(v);
    if (n < 0) fail();
    return n;
}
// str(v)
inline Ref str(PyObject* v) { return Ref::steal(PyObject_Str(v)); }
// a + b
inline Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
// an int
inline Ref integer(long v) { return Ref::steal(PyLong_FromLong(v)); }

// str(a) + str(b) + ...: log lines and messages.
Ref text(std::initializer_list<PyObject*> pieces);
template <typename... P>
Ref text(const P&... pieces) {
    return text({static_cast<PyObject*>(pieces)...});
}

// `iter(v)` and one draw from it: false once it is exhausted (an error raised by it propagates).
inline Ref iterate(PyObject* v) { return Ref::steal(PyObject_GetIter(v)); }
inline bool next_item(PyObject* it, Ref& out) {
    PyObject* value = PyIter_Next(it);
    if (!value) {
        if (PyErr_Occurred()) fail();
        return false;
    }
    out = Ref::steal(value);
    return true;
}

// `for x in v: body(x)`
template <typename Body>
void for_each(PyObject* v, Body&& body) {
    Ref it = iterate(v);
    Ref x;
    while (next_item(it, x)) body(static_cast<PyObject*>(x));
}

namespace detail {
// {k1: None, k2: None, ...}, made once per process: the shape a record of more keys than the
// smallest dict holds (5) is copied from. The copy takes the keys table as it is, already sized
// and hashed, where inserting the keys one by one would grow the new dict on the way; a smaller
// record is cheaper made empty and filled.
inline constexpr std::size_t kSmallDict = 5;
PyObject* record_shape(std::initializer_list<PyObject*> keys);
}  // namespace detail

// {"k1": v1, "k2": v2, ...}: a record or a form, its fields in the order given (the order they
// go on the wire); the keys are interned once per process.
// The values are a braced list, evaluated left to right as Python evaluates a dict display.
template <Literal... Keys>
Ref record(std::initializer_list<PyObject*> values) {
    PyObject* const keys[] = {name_of<Keys>()...};
    if (values.size() != sizeof...(Keys)) {
        PyErr_SetString(PyExc_SystemError, "record: one value per key");
        fail();
    }
    Ref d;
    if constexpr (sizeof...(Keys) > detail::kSmallDict) {
        static PyObject* const shape = detail::record_shape({name_of<Keys>()...});
        d = Ref::steal(PyDict_Copy(shape));
    } else {
        d = Ref::steal(PyDict_New());
    }
    std::size_t i = 0;
    for (PyObject* value : values) check(PyDict_SetItem(d, keys[i++], value));
    return d;
}

// record[key] = value, unless the value is None.
inline void set_unless_none(PyObject* record, PyObject* key, PyObject* value) {
    if (value != Py_None) check(PyDict_SetItem(record, key, value));
}

// ---- the module namespace

// The global namespace of a module, looked up when a name is used, as LOAD_GLOBAL does: the
// module's dict, then the builtins, else NameError. A module attribute rebound by a test or a
// caller is seen the way Python code would see it.

class Scope {
  public:
    explicit Scope(PyObject* module_dict) : dict_(module_dict) {}
    __attribute__((always_inline)) Ref operator[](PyObject* name) const {
        const detail::Found& f = detail::found_slot(name);
        if (f.name == name && f.dict == dict_ && f.dict_version == detail::dict_version(dict_)) {
            if (!f.builtins) return Ref::borrow(f.value);
            PyObject* builtins = PyEval_GetBuiltins();
            if (builtins == f.builtins && f.builtins_version == detail::dict_version(builtins))
                return Ref::borrow(f.value);
        }
        return lookup(name);
    }
    PyObject* dict() const { return dict_; }

  private:
    Ref lookup(PyObject* name) const;
    PyObject* dict_;  // borrowed: the module's dict outlives every call
};

// `from <module> import <name>`, with the interpreter's own ImportError (name and path) when the
// name is missing; `import <module>` when `name` is null.
Ref import_name(const char* module, const char* name);

// ---- exceptions

// raise cls(message)
[[noreturn]] void raise(PyObject* cls, PyObject* message);

// The exception caught by a `catch (PyError&)`, taken off the error indicator.
class Caught {
  public:
    Caught();
    bool matches(PyObject* cls) const { return PyErr_GivenExceptionMatches(type_, cls) != 0; }
    PyObject* type() const { return type_; }
    PyObject* value() const { return value_; }
    PyObject* trace() const { return trace_; }
    // Puts the exception back and lets it go on.
    [[noreturn]] void rethrow();

  private:
    Ref type_, value_, trace_;
};

// While alive, the caught exception is the one being handled, as inside an `except` block: an
// error raised meanwhile gets it as __context__, and sys.exc_info() shows it.
class Handling {
  public:
    explicit Handling(const Caught& e) : previous_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(e.value());
    }
    ~Handling() {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

  private:
    PyObject* previous_;
};

}  // namespace tidewall

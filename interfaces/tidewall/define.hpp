// How the modules define what the interpreter calls: each operation or method is one constant
// `Def` (name, parameters with their defaults, the C++ function, docstring), written once. From
// it come the fast-call entry point (arguments bound without a tuple or a dict, with the
// TypeError texts the interpreter gives a Python function of that signature), the
// `__text_signature__` and docstring, and the stub check (tests compare it with the .pyi).
//
// Functions are builtin functions of their module (their `self` is the module, whose namespace
// the C++ function receives as `Scope`); methods are such functions behind an instance-method
// wrapper, class methods behind `classmethod`. Classes are made as a `class` statement makes
// them: the bases' metaclass called with the finished namespace.
#pragma once

#include <cstddef>
#include <exception>
#include <new>
#include <tidewall/py.hpp>
#include <type_traits>
#include <utility>

namespace tidewall {

// ---- signatures

struct Param {
    enum Default : unsigned char { Required, IsNone, IsTrue, IsText };
    const char* name;
    Default kind = Required;
    const char* text = nullptr;  // the default of an IsText parameter
};
constexpr Param arg(const char* name) { return {name}; }
constexpr Param arg_none(const char* name) { return {name, Param::IsNone}; }
constexpr Param arg_true(const char* name) { return {name, Param::IsTrue}; }
constexpr Param arg_text(const char* name, const char* text) { return {name, Param::IsText, text}; }

inline constexpr std::size_t kMaxParams = 12;

struct Params {
    Param list[kMaxParams] = {};
    std::size_t count = 0;

    constexpr Params() = default;
    template <typename... P>
    constexpr Params(P... p) : list{p...}, count(sizeof...(P)) {  // NOLINT: implicit
        static_assert(sizeof...(P) <= kMaxParams, "too many parameters");
    }
};

enum class Kind {
    Function,     // a module-level operation
    Method,       // takes the instance first, as `self`
    ClassMethod,  // takes the class first, as `cls`
};

// One operation or method. `fn` takes the module's Scope, then (for methods) self or cls, then
// one PyObject* per parameter, and returns a Ref or nothing (None).
template <typename Fn>
struct Def {
    const char* qualname;  // "SnatCmd.enable": __qualname__, and the name in error texts
    Kind kind;
    Params params;
    Fn fn;
    const char* doc;

    // __name__: the last component of the qualified name.
    constexpr const char* name() const {
        const char* last = qualname;
        for (const char* c = qualname; *c; ++c)
            if (*c == '.') last = c + 1;
        return last;
    }
};
template <typename... P>
constexpr Params params(P... p) {
    return Params(p...);
}
// A module-level operation, a method (self first), a class method (cls first).
template <typename Fn>
constexpr Def<Fn> function_def(const char* qualname, Params params, Fn fn, const char* doc) {
    return {qualname, Kind::Function, params, fn, doc};
}
template <typename Fn>
constexpr Def<Fn> method_def(const char* qualname, Params params, Fn fn, const char* doc) {
    return {qualname, Kind::Method, params, fn, doc};
}
template <typename Fn>
constexpr Def<Fn> class_method_def(const char* qualname, Params params, Fn fn, const char* doc) {
    return {qualname, Kind::ClassMethod, params, fn, doc};
}

// ---- argument binding

// What binding needs at run time: interned names and default objects (made once per process).
struct Binding {
    const char* qualname = nullptr;
    std::size_t count = 0;     // parameters, self or cls included
    std::size_t required = 0;  // those without a default (they come first)
    PyObject* names[kMaxParams + 1] = {};
    PyObject* defaults[kMaxParams + 1] = {};
    PyMethodDef method = {};
};

// Fills `values` (count slots, borrowed references) from a fast call; false with the
// interpreter's TypeError set when the call does not fit.
bool bind(const Binding& b, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values);

// Prepares `b` from a definition on first use: names, defaults, docstring with signature.
void prepare(Binding& b, const char* name, const char* qualname, Kind kind, const Params& params,
             const char* doc, _PyCFunctionFastWithKeywords entry);

// The current C++ exception as the interpreter's error (a PyError is already set). Call only
// inside a catch block.
PyObject* translate_exception(const char* where) noexcept;

namespace detail {

template <typename R, typename... A>
constexpr std::size_t arity(R (*)(const Scope&, A...)) {
    return sizeof...(A);
}

template <typename Fn, std::size_t... I>
PyObject* invoke(Fn fn, const Scope& g, PyObject* const* values, std::index_sequence<I...>) {
    using R = decltype(fn(g, values[I]...));
    if constexpr (std::is_void_v<R>) {
        fn(g, values[I]...);
        Py_RETURN_NONE;
    } else {
        return fn(g, values[I]...).release();
    }
}

template <const auto& D>
constexpr std::size_t count = D.params.count + (D.kind == Kind::Function ? 0 : 1);

template <const auto& D>
inline Binding binding;

template <const auto& D>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    constexpr std::size_t n = count<D>;
    static_assert(arity(D.fn) == n, "one C++ parameter per Python parameter");
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* slots[n + 1];
    PyObject* const* values = args;
    if (kwnames || static_cast<std::size_t>(nargs) != n) {
        if (!bind(binding<D>, args, nargs, kwnames, slots)) return nullptr;
        values = slots;
    }
    try {
        return invoke(D.fn, Scope(PyModule_GetDict(module)), values, std::make_index_sequence<n>{});
    } catch (...) {
        return translate_exception(D.qualname);
    }
}

}  // namespace detail

// ---- functions, methods, classes, modules

// The builtin function of definition D in `module` (its __module__ is the module's name).
Ref builtin_function(PyObject* module, Binding& b);

template <const auto& D>
Ref function(PyObject* module) {
    Binding& b = detail::binding<D>;
    if (!b.qualname)
        prepare(b, D.name(), D.qualname, D.kind, D.params, D.doc,
                reinterpret_cast<_PyCFunctionFastWithKeywords>(&detail::entry<D>));
    return builtin_function(module, b);
}

// A method of a class body: binds `self` on instance access like a Python function, and is a
// method descriptor, so that `obj.m(...)` and a constructor's `__init__` are called with the
// instance as first argument without a bound method being made. Its attributes (__name__,
// __qualname__, __doc__, __text_signature__) are those of `function`, which `__func__` is.
Ref instance_method(PyObject* function);
// classmethod(f)
Ref class_method(PyObject* function);

// What a class namespace entry of definition D is: the function wrapped for its kind.
template <const auto& D>
Ref member(PyObject* module) {
    Ref f = function<D>(module);
    if constexpr (D.kind == Kind::Method) return instance_method(f);
    if constexpr (D.kind == Kind::ClassMethod) return class_method(f);
    return f;
}

// A class made as a `class` statement makes it: the metaclass of the first base (else `type`)
// is called with (name, bases, namespace), the namespace holding `__module__`, `__qualname__`,
// the docstring and the members in order. A class with an `__init__` gets a `__signature__`
// (the constructor's, without self) worked out on first use.
Ref make_class(PyObject* module, const char* name, PyObject* bases,
               std::initializer_list<std::pair<const char*, PyObject*>> members, const char* doc);

// module.<name of D> = the builtin function of D
template <const auto& D>
void def(PyObject* module) {
    check(PyModule_AddObjectRef(module, D.name(), function<D>(module)));
}

// The class `name` whose namespace holds the members Ds in order, each under its own name.
template <const auto&... Ds>
Ref make_class(PyObject* module, const char* name, PyObject* bases, const char* doc) {
    Ref members[] = {member<Ds>(module)...};
    std::size_t i = 0;
    return make_class(module, name, bases, {{Ds.name(), members[i++]}...}, doc);
}

// module.<name> = that class
template <const auto&... Ds>
void def_class(PyObject* module, const char* name, PyObject* bases, const char* doc) {
    check(PyModule_AddObjectRef(module, name, make_class<Ds...>(module, name, bases, doc)));
}

// The definition of a module without per-module state: loading it again builds a fresh
// namespace.
constexpr PyModuleDef module_def(const char* name, const char* doc) {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
}

// One outside name a module binds when it loads: `from module import name [as alias]`, or
// `import module` when `name` is null.
struct Import {
    const char* module;
    const char* name = nullptr;
    const char* alias = nullptr;
};

// The body of PyInit_<name>: creates the module, binds `imports` as its attributes in order,
// then runs `populate`. A failure leaves the interpreter's own error (an ImportError keeps its
// name and path) and fails the import with it.
PyObject* create_module(PyModuleDef* def, const Import* imports, std::size_t count,
                        void (*populate)(PyObject* module));
template <std::size_t N>
PyObject* create_module(PyModuleDef* def, const Import (&imports)[N],
                        void (*populate)(PyObject* module)) {
    return create_module(def, imports, N, populate);
}

// module.name = value
inline void add(PyObject* module, const char* name, PyObject* value) {
    check(PyModule_AddObjectRef(module, name, value));
}

}  // namespace tidewall

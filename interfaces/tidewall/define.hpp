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

inline constexpr std::size_t kMaxParams = 13;
inline constexpr std::size_t kMaxSignature = 320;

// A signature as a `def` line writes it, "Qual.name(a, b='x', c=None, d=True)", taken apart at
// compile time. The text itself is what __text_signature__ shows; the parts are what binding
// uses (a method's text starts with self, a class method's with cls).
struct Signature {
    enum Default : unsigned char { Required, IsNone, IsTrue, IsText };

    char text[kMaxSignature] = {};   // "name(params)": from the last component of the name on
    char parts[kMaxSignature] = {};  // the qualified name and each parameter name and default
    std::size_t qualname_at = 0, name_at = 0, count = 0;
    std::size_t name_of[kMaxParams] = {}, default_of[kMaxParams] = {};
    Default kind_of[kMaxParams] = {};

    consteval Signature(const char* def) { parse(def); }  // NOLINT: implicit, from the literal
    // The text given in pieces, joined.
    consteval Signature(std::initializer_list<const char*> pieces) {
        char joined[kMaxSignature] = {};
        std::size_t n = 0;
        for (const char* piece : pieces)
            for (const char* c = piece; *c; ++c) {
                if (n + 1 >= kMaxSignature) throw "signature too long";
                joined[n++] = *c;
            }
        parse(joined);
    }
    const char* qualname() const { return parts + qualname_at; }
    const char* name() const { return parts + name_at; }

  private:
    consteval void parse(const char* def) {
        std::size_t n = 0;
        while (def[n]) ++n;
        if (n >= kMaxSignature || n < 3 || def[n - 1] != ')') throw "bad signature";
        std::size_t open = 0;
        while (def[open] != '(') ++open;
        for (std::size_t i = 0; i < open; ++i)
            if (def[i] == '.') name_at = i + 1;
        for (std::size_t i = name_at; i < n; ++i) text[i - name_at] = def[i];
        for (std::size_t i = 0; i < n; ++i) parts[i] = def[i];
        parts[open] = '\0';
        parts[n - 1] = '\0';
        std::size_t i = open + 1;
        while (i < n - 1) {
            while (parts[i] == ' ') ++i;
            if (count == kMaxParams) throw "too many parameters";
            name_of[count] = i;
            while (parts[i] != ',' && parts[i] != '=' && parts[i] != '\0') ++i;
            kind_of[count] = Required;
            if (parts[i] == '=') {
                parts[i++] = '\0';
                if (parts[i] == '\'') {
                    kind_of[count] = IsText;
                    default_of[count] = ++i;
                    while (parts[i] != '\'') ++i;
                    parts[i++] = '\0';
                } else {
                    kind_of[count] = parts[i] == 'N' ? IsNone : IsTrue;
                    if (parts[i] != 'N' && parts[i] != 'T') throw "defaults: None, True or 'text'";
                    while (parts[i] != ',' && parts[i] != '\0') ++i;
                }
            }
            if (parts[i] == ',') parts[i++] = '\0';
            ++count;
        }
    }
};

enum class Kind {
    Function,     // a module-level operation
    Method,       // takes the instance first, as `self`
    ClassMethod,  // takes the class first, as `cls`
};

// One operation or method: its signature, the C++ function (the module's Scope, then one
// PyObject* per parameter; a Ref or nothing for None) and its docstring.
template <typename Fn>
struct Def {
    Signature sig;
    Kind kind;
    Fn fn;
    const char* doc;

    const char* name() const { return sig.name(); }
};
// The `fn` of a constructor that stores each argument as the attribute of its parameter's name,
// in order, as `def __init__(self, a, b): self.a = a; self.b = b` does.
struct StoreArguments {};
inline constexpr Def<StoreArguments> init_def(Signature sig, const char* doc) {
    return {sig, Kind::Method, StoreArguments{}, doc};
}

template <typename Fn>
constexpr Def<Fn> function_def(Signature sig, Fn fn, const char* doc) {
    return {sig, Kind::Function, fn, doc};
}
template <typename Fn>
constexpr Def<Fn> method_def(Signature sig, Fn fn, const char* doc) {
    return {sig, Kind::Method, fn, doc};
}
template <typename Fn>
constexpr Def<Fn> class_method_def(Signature sig, Fn fn, const char* doc) {
    return {sig, Kind::ClassMethod, fn, doc};
}

// ---- argument binding

// The entry point of a definition, a METH_FASTCALL | METH_KEYWORDS function: (module, arguments,
// count, keyword names).
using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// What binding needs at run time: interned names and default objects (made once per process).
struct Binding {
    const char* qualname = nullptr;
    std::size_t count = 0;     // parameters, self or cls included
    std::size_t required = 0;  // those without a default (they come first)
    PyObject* names[kMaxParams + 1] = {};
    PyObject* defaults[kMaxParams + 1] = {};
    PyMethodDef method = {};
    // The module the definition's function was last made for, held, and its namespace.
    PyObject* module = nullptr;
    PyObject* module_dict = nullptr;
};

// Fills `values` (count slots, borrowed references) from a fast call; false with the
// interpreter's TypeError set when the call does not fit.
bool bind(const Binding& b, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values);

// Prepares `b` from a definition on first use: names, defaults, docstring with signature.
void prepare(Binding& b, const Signature& sig, const char* doc, Entry entry);

// The current C++ exception as the interpreter's error (a PyError is already set). Call only
// inside a catch block.
PyObject* translate_exception(const char* where) noexcept;

// self.<name> = value for every parameter after self, in order, `args` holding their values;
// false with the error set when a store fails.
bool stores(const Binding& b, PyObject* self, PyObject* const* args) noexcept;
// The same as an __init__ that returns None.
inline PyObject* store_arguments(const Binding& b, PyObject* self, PyObject* const* args) {
    if (!stores(b, self, args)) return nullptr;
    Py_RETURN_NONE;
}

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
constexpr std::size_t count = D.sig.count;

template <const auto& D>
inline Binding binding;

// The namespace of `module`, known for the module the definition was last made for.
inline PyObject* module_dict(const Binding& b, PyObject* module) {
    return module == b.module ? b.module_dict : PyModule_GetDict(module);
}

template <const auto& D>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    constexpr std::size_t n = count<D>;
    if constexpr (!std::is_same_v<std::remove_cv_t<decltype(D.fn)>, StoreArguments>)
        static_assert(arity(D.fn) == n, "one C++ parameter per Python parameter");
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* slots[n + 1];
    PyObject* const* values = args;
    if (kwnames || static_cast<std::size_t>(nargs) != n) {
        const Binding& b = binding<D>;
        const std::size_t given = static_cast<std::size_t>(nargs);
        if (!kwnames && given >= b.required && given < n) {  // the rest at their defaults
            for (std::size_t i = 0; i < n; ++i) slots[i] = i < given ? args[i] : b.defaults[i];
        } else if (!bind(b, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        values = slots;
    }
    try {
        if constexpr (std::is_same_v<std::remove_cv_t<decltype(D.fn)>, StoreArguments>)
            return store_arguments(binding<D>, values[0], values + 1);
        else
            return invoke(D.fn, Scope(module_dict(binding<D>, module)), values,
                          std::make_index_sequence<n>{});
    } catch (...) {
        return translate_exception(D.sig.qualname());
    }
}

// A class whose __init__ stores its arguments gets two slots of its own: `init_slot` (what
// type.__call__ runs once the instance is made: the same binding and stores as a call of that
// __init__, without looking it up and without a bound call) and, when its metaclass is `type`,
// `construct_slot` (the call of the class: type.__call__ without an argument tuple, the
// instance made by the class's own __new__, object.__new__, which ignores the arguments of a
// class with its own __init__). Assigning __init__ or __new__ to the class later puts the
// interpreter's own slots back, and the call then goes the interpreter's way.

// The empty tuple, or null with the error set.
PyObject* no_arguments();
// __init__ bound by `entry` from the slot's tuple and dict.
int init_from_tuple(Entry entry, PyObject* self, PyObject* args, PyObject* kwds);
// The class call when it takes keywords or does not fit without binding, or when the class's
// slots have been replaced.
PyObject* construct(Entry entry, initproc init, PyObject* cls, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames);

// self.<parameter> = value for each parameter after self, as store_arguments does, with the
// count known here: the `given` values of `args`, then the defaults. False with the error set
// when a store fails.
template <const auto& D>
__attribute__((always_inline)) inline bool store_each(PyObject* self, PyObject* const* args,
                                                      std::size_t given) {
    constexpr std::size_t n = count<D> - 1;
    const Binding& b = binding<D>;
    PyObject* values[n];
    if (given < n) {
        for (std::size_t i = 0; i < n; ++i) values[i] = i < given ? args[i] : b.defaults[i + 1];
        args = values;
    }
    if (Py_TYPE(self)->tp_setattro != PyObject_GenericSetAttr) return stores(b, self, args);
    for (std::size_t i = 0; i < n; ++i)
        if (PyObject_GenericSetAttr(self, b.names[i + 1], args[i]) < 0) return false;
    return true;
}

// Whether `given` positional arguments after self fit D without binding.
template <const auto& D>
__attribute__((always_inline)) inline bool fits(std::size_t given) {
    return given + 1 >= binding<D>.required && given + 1 <= count<D>;
}

template <const auto& D>
int init_slot(PyObject* self, PyObject* args, PyObject* kwds) {
    const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if ((!kwds || !PyDict_GET_SIZE(kwds)) && fits<D>(given))
        return store_each<D>(self, &PyTuple_GET_ITEM(args, 0), given) ? 0 : -1;
    return init_from_tuple(&entry<D>, self, args, kwds);
}

template <const auto& D>
PyObject* construct_slot(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    if (kwnames || !fits<D>(given) || type->tp_init != &init_slot<D> ||
        type->tp_new != PyBaseObject_Type.tp_new)
        return construct(&entry<D>, &init_slot<D>, cls, args, nargsf, kwnames);
    PyObject* empty = no_arguments();
    if (!empty || Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* self = type->tp_new(type, empty, nullptr);
    if (self && !store_each<D>(self, args, given)) Py_CLEAR(self);
    Py_LeaveRecursiveCall();
    return self;
}

// Gives `cls` the constructor slots of D, when D is an __init__ that stores its arguments.
template <const auto& D>
void install_constructor(PyObject* cls) {
    if constexpr (std::is_same_v<std::remove_cv_t<decltype(D.fn)>, StoreArguments>) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        type->tp_init = &init_slot<D>;
        if (Py_IS_TYPE(cls, &PyType_Type)) type->tp_vectorcall = &construct_slot<D>;
    }
}

}  // namespace detail

// ---- functions, methods, classes, modules

// The builtin function of definition D in `module` (its __module__ is the module's name).
Ref builtin_function(PyObject* module, Binding& b);

template <const auto& D>
Ref function(PyObject* module) {
    Binding& b = detail::binding<D>;
    if (!b.qualname) prepare(b, D.sig, D.doc, &detail::entry<D>);
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

// module.<name of D> = the builtin function of D, for each D in order
template <const auto&... Ds>
void def(PyObject* module) {
    (check(PyModule_AddObjectRef(module, Ds.name(), function<Ds>(module))), ...);
}

// A class of a module: its name, the name of its base in the module's namespace (none: object),
// and its docstring.
struct ClassDef {
    const char* name;
    const char* base;
    const char* doc;
};

// The class `name` whose namespace holds the members Ds in order, each under its own name.
template <const auto&... Ds>
Ref make_class(PyObject* module, const char* name, PyObject* bases, const char* doc) {
    Ref members[] = {member<Ds>(module)...};
    std::size_t i = 0;
    return make_class(module, name, bases, {{Ds.name(), members[i++]}...}, doc);
}

// module.<C.name> = the class C with the members Ds
template <const ClassDef& C, const auto&... Ds>
void def_class(PyObject* module) {
    PyObject* base = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    Ref outside;
    if (C.base) base = outside = Scope(PyModule_GetDict(module))[intern(C.base)];
    Ref bases = Ref::steal(PyTuple_Pack(1, base));
    Ref cls = make_class<Ds...>(module, C.name, bases, C.doc);
    (detail::install_constructor<Ds>(cls), ...);
    check(PyModule_AddObjectRef(module, C.name, cls));
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

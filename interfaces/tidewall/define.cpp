#include "define.hpp"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <tidewall/versions.hpp>

namespace tidewall {

// ---- binding, with the interpreter's texts for a call that does not fit

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
Ref listing(PyObject* const* names, std::size_t n) {
    Ref shown = Ref::steal(PyUnicode_FromFormat("'%U'", names[0]));
    for (std::size_t i = 1; i < n; ++i) {
        const char* sep = i + 1 < n ? ", '%U'" : (n == 2 ? " and '%U'" : ", and '%U'");
        shown = add(shown, Ref::steal(PyUnicode_FromFormat(sep, names[i])));
    }
    return shown;
}

bool type_error(Ref message) {
    PyErr_SetObject(PyExc_TypeError, message);
    return false;
}

}  // namespace

bool bind(const Binding& b, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values) {
    try {
        const std::size_t count = b.count;
        const std::size_t given = static_cast<std::size_t>(nargs);
        for (std::size_t i = 0; i < count; ++i) values[i] = i < given ? args[i] : nullptr;

        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t j = 0;
            while (j < count && b.names[j] != key) ++j;
            if (j == count) {
                j = 0;
                while (j < count && !equals(key, b.names[j])) ++j;
            }
            if (j == count)
                return type_error(Ref::steal(PyUnicode_FromFormat(
                    "%s() got an unexpected keyword argument '%U'", b.qualname, key)));
            if (values[j])
                return type_error(Ref::steal(PyUnicode_FromFormat(
                    "%s() got multiple values for argument '%U'", b.qualname, key)));
            values[j] = args[nargs + k];
        }

        if (given > count) {
            const bool with_defaults = b.required < count;
            const std::string takes =
                with_defaults
                    ? "from " + std::to_string(b.required) + " to " + std::to_string(count) +
                          " positional arguments"
                    : std::to_string(count) + " positional argument" + (count == 1 ? "" : "s");
            return type_error(Ref::steal(PyUnicode_FromFormat("%s() takes %s but %zd %s given",
                                                              b.qualname, takes.c_str(), nargs,
                                                              given == 1 ? "was" : "were")));
        }

        PyObject* missing[kMaxParams + 1];
        std::size_t n_missing = 0;
        for (std::size_t i = given; i < b.required; ++i)
            if (!values[i]) missing[n_missing++] = b.names[i];
        if (n_missing)
            return type_error(Ref::steal(PyUnicode_FromFormat(
                "%s() missing %zu required positional argument%s: %U", b.qualname, n_missing,
                n_missing == 1 ? "" : "s", listing(missing, n_missing).get())));

        for (std::size_t i = 0; i < count; ++i)
            if (!values[i]) values[i] = b.defaults[i];
        return true;
    } catch (PyError&) {
        return false;
    }
}

// ---- definitions

namespace {

PyObject* default_object(const Signature& sig, std::size_t i) {
    switch (sig.kind_of[i]) {
        case Signature::IsNone:
            return Py_None;
        case Signature::IsTrue:
            return Py_True;
        case Signature::IsText:
            return intern(sig.parts + sig.default_of[i]);
        case Signature::Required:
            break;
    }
    return nullptr;
}

}  // namespace

void prepare(Binding& b, const Signature& sig, const char* doc, Entry entry) {
    b.required = 0;
    for (std::size_t i = 0; i < sig.count; ++i) {
        b.names[i] = intern(sig.parts + sig.name_of[i]);
        b.defaults[i] = default_object(sig, i);
        if (!b.defaults[i]) b.required = i + 1;
    }
    b.count = sig.count;
    // "name(params)\n--\n\n" + doc: what __text_signature__, help() and inspect read. A function
    // object refers to its definition for as long as it lives, possibly until the interpreter
    // ends: the definition and its docstring are never freed.
    const std::string rendered = std::string(sig.text) + "\n--\n\n" + doc;
    b.method =
        PyMethodDef{sig.name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
                    METH_FASTCALL | METH_KEYWORDS, strdup(rendered.c_str())};
    b.qualname = sig.qualname();
}

bool stores(const Binding& b, PyObject* self, PyObject* const* args) noexcept {
    // The names are interned already: the generic protocol is called directly when the class
    // uses it (as PyObject_SetAttr would, less its own checks).
    const std::size_t n = b.count - 1;
    PyObject* const* names = b.names + 1;
    const bool generic = Py_TYPE(self)->tp_setattro == PyObject_GenericSetAttr;
    for (std::size_t i = 0; i < n; ++i) {
        const int stored = generic ? PyObject_GenericSetAttr(self, names[i], args[i])
                                   : PyObject_SetAttr(self, names[i], args[i]);
        if (stored < 0) return false;
    }
    return true;
}

namespace detail {

namespace {

// Room for the arguments of one call on the stack, else on the heap.
class ArgumentStack {
  public:
    explicit ArgumentStack(Py_ssize_t n)
        : items_(n <= static_cast<Py_ssize_t>(kSmall) ? small_ : PyMem_New(PyObject*, n)) {
        if (!items_) PyErr_NoMemory();
    }
    ~ArgumentStack() {
        if (items_ != small_) PyMem_Free(items_);
    }
    ArgumentStack(const ArgumentStack&) = delete;
    ArgumentStack& operator=(const ArgumentStack&) = delete;
    PyObject** get() const { return items_; }

  private:
    static constexpr std::size_t kSmall = kMaxParams + 2;
    PyObject* small_[kSmall];
    PyObject** items_;
};

// The result of an __init__ call as the slot reports it.
int init_result(PyObject* result) {
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

}  // namespace

// cls(*args, **kwargs) through the metaclass's tp_call, with the argument tuple and keyword dict
// that slot takes (the class's own vectorcall slot would come back here).
PyObject* call_through_tp_call(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    PyObject* tuple = PyTuple_New(nargs);
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    PyObject* kwargs = nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw) {
        kwargs = PyDict_New();
        for (Py_ssize_t k = 0; kwargs && k < nkw; ++k)
            if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                Py_CLEAR(kwargs);
        if (!kwargs) {
            Py_DECREF(tuple);
            return nullptr;
        }
    }
    PyObject* result = nullptr;
    if (!Py_EnterRecursiveCall(" while calling a Python object")) {
        result = Py_TYPE(cls)->tp_call(cls, tuple, kwargs);
        Py_LeaveRecursiveCall();
        if (!result && !PyErr_Occurred()) failed_silently(cls);
    }
    Py_DECREF(tuple);
    Py_XDECREF(kwargs);
    return result;
}

PyObject* no_arguments() {
    static PyObject* const empty = PyTuple_New(0);  // the empty tuple, kept
    return empty ? empty : PyErr_NoMemory();
}

int init_from_tuple(Entry entry, PyObject* self, PyObject* args, PyObject* kwds) {
    // Bound as a call of __init__ would be: self, the positional arguments, then the keyword
    // values after them with their names in a tuple (held for the call).
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
    ArgumentStack stack(1 + nargs + nkw);
    PyObject** values = stack.get();
    if (!values) return -1;
    values[0] = self;
    for (Py_ssize_t i = 0; i < nargs; ++i) values[1 + i] = PyTuple_GET_ITEM(args, i);
    if (!nkw) return init_result(entry(nullptr, values, 1 + nargs, nullptr));
    PyObject* kwnames = PyTuple_New(nkw);
    if (!kwnames) return -1;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    PyObject* result = nullptr;
    while (k < nkw && PyDict_Next(kwds, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            break;
        }
        PyTuple_SET_ITEM(kwnames, k, Py_NewRef(key));
        values[1 + nargs + k++] = Py_NewRef(value);
    }
    if (k == nkw) result = entry(nullptr, values, 1 + nargs, kwnames);
    for (Py_ssize_t j = 0; j < k; ++j) Py_DECREF(values[1 + nargs + j]);
    Py_DECREF(kwnames);  // a slot not reached is null, which a tuple's deallocation skips
    return init_result(result);
}

PyObject* construct(Entry entry, initproc init, PyObject* cls, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (type->tp_init != init || type->tp_new != PyBaseObject_Type.tp_new)
        return call_through_tp_call(cls, args, nargs, kwnames);
    PyObject* empty = no_arguments();
    if (!empty || Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* self = type->tp_new(type, empty, nullptr);
    PyObject* result = nullptr;
    if (self) {
        // __init__(self, *args, **kwargs), bound as a call of it would be.
        const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
        ArgumentStack stack(1 + total);
        if (PyObject** values = stack.get()) {
            values[0] = self;
            for (Py_ssize_t i = 0; i < total; ++i) values[1 + i] = args[i];
            result = entry(nullptr, values, 1 + nargs, kwnames);
        }
    }
    Py_LeaveRecursiveCall();
    if (!result) {
        Py_XDECREF(self);
        return nullptr;
    }
    Py_DECREF(result);
    return self;
}

}  // namespace detail

PyObject* translate_exception(const char* where) noexcept {
    try {
        throw;
    } catch (const PyError&) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "%s() failed without an exception", where);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "%s(): %s", where, e.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s(): unexpected C++ exception", where);
    }
    return nullptr;
}

Ref builtin_function(PyObject* module, Binding& b) {
    Ref module_name = attr(module, "__name__"_id);
    if (b.module != module) {
        // Held, so that no other module can take its address while the binding names it.
        Py_XSETREF(b.module, Py_NewRef(module));
        b.module_dict = PyModule_GetDict(module);
    }
    return Ref::steal(PyCFunction_NewEx(&b.method, module, module_name));
}

namespace {

struct MethodObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* function;  // the builtin function
    // Its entry point and module, called straight from here.
    Entry entry;
    PyObject* module;
};

PyObject* method_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = m->entry(m->module, args, static_cast<Py_ssize_t>(nargsf), kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* method_get(PyObject* self, PyObject* obj, PyObject*) {
    PyObject* f = reinterpret_cast<MethodObject*>(self)->function;
    if (!obj) return Py_NewRef(f);
    return PyMethod_New(f, obj);
}

PyObject* method_getattro(PyObject* self, PyObject* name) {
    PyObject* f = reinterpret_cast<MethodObject*>(self)->function;
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__func__") == 0)
        return Py_NewRef(f);
    // The descriptor's own slots (__get__, __call__, ...), then the function's attributes.
    PyObject* descr = versions::class_lookup(Py_TYPE(self), name);
    if (descr && Py_TYPE(descr)->tp_descr_get &&
        PyUnicode_CompareWithASCIIString(name, "__doc__") != 0)
        return Py_TYPE(descr)->tp_descr_get(descr, self,
                                            reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return PyObject_GetAttr(f, name);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<MethodObject*>(self)->function);
    return 0;
}

int method_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<MethodObject*>(self)->function);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    method_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", versions::kMemberSsize, offsetof(MethodObject, vectorcall),
     versions::kMemberReadOnly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_getattro, reinterpret_cast<void*>(method_getattro)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, method_members},
    {0, nullptr},
};

PyType_Spec method_spec = {"tidewall.method", sizeof(MethodObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                               Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                               Py_TPFLAGS_IMMUTABLETYPE,
                           method_slots};

}  // namespace

Ref instance_method(PyObject* function) {
    static PyTypeObject* type = nullptr;  // made once, kept for the life of the process
    if (!type) type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&method_spec)));
    auto* m = PyObject_GC_New(MethodObject, type);
    if (!m) fail();
    m->vectorcall = method_vectorcall;
    m->function = Py_NewRef(function);
    m->entry =
        reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(function)));
    m->module = PyCFunction_GET_SELF(function);  // kept alive by the function
    PyObject_GC_Track(m);
    return Ref::steal(reinterpret_cast<PyObject*>(m));
}

Ref class_method(PyObject* function) { return Ref::steal(PyClassMethod_New(function)); }

// ---- classes

namespace {

// `__get__` of the lazy class signature: inspect.signature(constructor) without its first
// parameter, worked out once, so that loading needs no `inspect`.
Ref constructor_signature(const Scope&, PyObject* self, PyObject*, PyObject*) {
    Ref state = attr(self, "__dict__"_id);
    PyObject* known = PyDict_GetItemWithError(state, "signature"_id);
    if (known) return Ref::borrow(known);
    if (PyErr_Occurred()) fail();
    Ref inspect = import_name("inspect", nullptr);
    Ref signature = call_method(inspect, "signature"_id, item(state, "constructor"_id));
    Ref parameters =
        Ref::steal(PySequence_List(call_method(attr(signature, "parameters"_id), "values"_id)));
    Ref rest = Ref::steal(PyList_GetSlice(parameters, 1, PyList_GET_SIZE(parameters.get())));
    signature = call_method(signature, "replace"_id, {}, Kw<"parameters">(rest));
    set_item(state, "signature"_id, signature);
    return signature;
}

constexpr auto kSignatureGet =
    method_def("_ConstructorSignature.__get__(self, instance, owner=None)", &constructor_signature,
               "The constructor's signature without self.");

Ref new_class(PyObject* module, const char* name, PyObject* bases, PyObject* ns, const char* doc) {
    Ref module_name = attr(module, "__name__"_id);
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    set_item(ns, "__module__"_id, module_name);
    set_item(ns, "__qualname__"_id, qualname);
    if (doc) set_item(ns, "__doc__"_id, Ref::steal(PyUnicode_FromString(doc)));
    PyObject* meta = PyTuple_GET_SIZE(bases)
                         ? reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, 0)))
                         : reinterpret_cast<PyObject*>(&PyType_Type);
    return call(meta, qualname, bases, ns);
}

// The descriptor class, made on first use and kept for the life of the process.
PyObject* signature_class(PyObject* module) {
    static PyObject* cls = nullptr;
    if (!cls) {
        Ref ns = Ref::steal(PyDict_New());
        set_item(ns, "__get__"_id, member<kSignatureGet>(module));
        Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
        cls = new_class(module, "_ConstructorSignature", bases, ns,
                        "A class's __signature__, worked out when asked for.")
                  .release();
    }
    return cls;
}

}  // namespace

Ref make_class(PyObject* module, const char* name, PyObject* bases,
               std::initializer_list<std::pair<const char*, PyObject*>> members, const char* doc) {
    Ref ns = Ref::steal(PyDict_New());
    PyObject* init = nullptr;
    for (const auto& [key, value] : members) {
        check(PyDict_SetItemString(ns, key, value));
        if (std::strcmp(key, "__init__") == 0) init = value;
    }
    Ref cls = new_class(module, name, bases, ns, doc);
    if (init) {
        Ref signature = call(signature_class(module));
        set_attr(signature, "constructor"_id, attr(cls, "__init__"_id));
        set_attr(cls, "__signature__"_id, signature);
    }
    return cls;
}

// ---- modules

PyObject* create_module(PyModuleDef* def, const Import* imports, std::size_t count,
                        void (*populate)(PyObject* module)) {
    PyObject* module = PyModule_Create(def);
    if (!module) return nullptr;
    try {
        for (const Import* i = imports; i != imports + count; ++i) {
            const char* as = i->alias ? i->alias : i->name ? i->name : i->module;
            add(module, as, import_name(i->module, i->name));
        }
        populate(module);
        return module;
    } catch (...) {
        translate_exception(def->m_name);
    }
    Py_DECREF(module);
    return nullptr;
}

}  // namespace tidewall

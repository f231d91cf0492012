// How the extension modules reach the interpreter that hosts them: importing the tool's
// outside names, looking them up at call time the way Python code would, building classes
// whose bases are Python classes, and raising or catching Python exceptions without losing
// their type, message or traceback.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace tidewall __attribute__((visibility("hidden"))) {

    namespace py = pybind11;

    // `from <module> import <name>`: the interpreter's own ImportError (with name and path) when
    // the module or the name is missing.
    inline py::object import_name(const char* module, const char* name) {
        py::object mod = py::reinterpret_steal<py::object>(PyImport_ImportModule(module));
        if (!mod) throw py::error_already_set();
        if (PyObject_HasAttrString(mod.ptr(), name)) return mod.attr(name);
        py::object path = py::none();
        if (PyObject_HasAttrString(mod.ptr(), "__file__")) path = mod.attr("__file__");
        std::string msg = std::string("cannot import name '") + name + "' from '" + module + "'";
        if (!path.is_none())
            msg += " (" + py::str(path).cast<std::string>() + ")";
        else
            msg += " (unknown location)";
        py::object exc =
            py::module_::import("builtins")
                .attr("ImportError")(msg, py::arg("name") = module, py::arg("path") = path);
        PyErr_SetObject(PyExc_ImportError, exc.ptr());
        throw py::error_already_set();
    }

    // The module's global namespace, looked up at call time so that a rebinding of a module
    // attribute (by a test or a caller) is seen exactly as Python code would see it.
    class ModuleScope {
      public:
        explicit ModuleScope(py::handle module_dict) : dict_(module_dict) {}

        // LOAD_GLOBAL: the module's dict, then builtins, else NameError.
        py::object operator()(const char* name) const {
            PyObject* v = PyDict_GetItemString(dict_.ptr(), name);  // borrowed
            if (v) return py::reinterpret_borrow<py::object>(v);
            PyObject* b = PyEval_GetBuiltins();  // borrowed
            if (b && (v = PyDict_GetItemString(b, name)))
                return py::reinterpret_borrow<py::object>(v);
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw py::error_already_set();
        }

        py::handle dict() const { return dict_; }

      private:
        py::handle dict_;  // the module's dict; lives as long as the module
    };

    // Raise `cls(message)` as a Python exception.
    [[noreturn]] inline void raise(py::handle cls, py::object message) {
        py::object exc = cls(std::move(message));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
        throw py::error_already_set();
    }

    // Python's truth value of `v`.
    inline bool truthy(py::handle v) {
        int r = PyObject_IsTrue(v.ptr());
        if (r < 0) throw py::error_already_set();
        return r != 0;
    }

    // Python's `a == b` / `a != b` as a condition: the rich comparison's own result, then its
    // truth value (no shortcut for an object compared with itself, unlike
    // PyObject_RichCompareBool).
    inline bool compare(py::handle a, py::handle b, int op) {
        PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
        if (!r) throw py::error_already_set();
        return truthy(py::reinterpret_steal<py::object>(r));
    }
    inline bool equals(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }
    inline bool differs(py::handle a, py::handle b) { return compare(a, b, Py_NE); }

    // Python's `str(x)` as UTF-8 text.
    inline std::string text(py::handle v) { return py::str(v).cast<std::string>(); }

    // `len(x)`
    inline Py_ssize_t length(py::handle v) {
        Py_ssize_t n = PyObject_Length(v.ptr());
        if (n < 0) throw py::error_already_set();
        return n;
    }

    // A function whose help() and inspect.signature() show its real parameters: pybind11 writes no
    // signature of its own, and the docstring starts with "name(params)\n--\n\n".
    template <typename Func, typename... Extra>
    py::cpp_function function(const char* name, const char* params, const char* doc, Func&& f,
                              Extra&&... extra) {
        py::options options;
        options.disable_function_signatures();
        std::string full = std::string(name) + "(" + params + ")\n--\n\n" + doc;
        return py::cpp_function(std::forward<Func>(f), py::name(name), py::doc(full.c_str()),
                                std::forward<Extra>(extra)...);
    }

    // A method for a class built by `make_class`: `self` is bound on instance access like a Python
    // function's. `params` lists the parameters after self.
    template <typename Func, typename... Extra>
    py::object method(py::handle module, const char* name, const char* params, const char* doc,
                      Func&& f, Extra&&... extra) {
        std::string ps = params[0] ? std::string("self, ") + params : std::string("self");
        return function(name, ps.c_str(), doc, std::forward<Func>(f), py::is_method(module),
                        std::forward<Extra>(extra)...);
    }

    // Build a class the way a `class` statement does: the bases' metaclass is called with the
    // namespace already holding the methods, `__module__` and `__qualname__`. When the namespace
    // has an `__init__`, the class gets a `__signature__` without `self`, so inspect.signature(cls)
    // shows the constructor's parameters.
    inline py::object make_class(const char* module_name, const char* name, py::tuple bases,
                                 py::dict ns, const char* doc = nullptr) {
        ns["__module__"] = module_name;
        ns["__qualname__"] = name;
        if (doc) ns["__doc__"] = doc;
        py::object builtins = py::module_::import("builtins");
        py::object meta = builtins.attr("type");
        if (py::len(bases) > 0) meta = py::type::of(bases[0]);
        py::object cls = meta(name, bases, ns);
        if (ns.contains("__init__")) {
            py::object inspect = py::module_::import("inspect");
            py::object sig = inspect.attr("signature")(cls.attr("__init__"));
            py::list params = py::list(sig.attr("parameters").attr("values")());
            py::list rest;
            for (size_t i = 1; i < params.size(); ++i) rest.append(params[i]);
            cls.attr("__signature__") = sig.attr("replace")(py::arg("parameters") = rest);
        }
        return cls;
    }

}  // namespace tidewall

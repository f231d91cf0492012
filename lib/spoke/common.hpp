// Pieces shared by the spoke operations: the module namespace, controller requests, log lines,
// the command endpoint, and the registration helpers of the module's functions and classes.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <tidewall/controller.hpp>
#include <tidewall/pyhost.hpp>
#include <type_traits>
#include <utility>
#include <vector>

namespace tidewall __attribute__((visibility("hidden"))) {
    namespace spoke {

    namespace py = pybind11;
    using namespace pybind11::literals;
    using namespace tidewall::literals;

    inline constexpr const char* kModuleName = "tidewall.lib.spoke";

    // ---- the module namespace

    // Every operation and method runs with the namespace of the module that defined it as the
    // current one (per thread, put back on return): outside names and the module's own
    // operations are looked up there when they are used, as in a Python function's globals.
    const ModuleScope& scope();
    controller::Services services();

    class ActiveScope {
      public:
        explicit ActiveScope(py::handle module_dict);
        ~ActiveScope();
        ActiveScope(const ActiveScope&) = delete;
        ActiveScope& operator=(const ActiveScope&) = delete;

      private:
        ModuleScope scope_;
        const ModuleScope* previous_;
    };

    // A name of the module namespace (an operation, a class, or a builtin such as `range`).
    py::object global(const char* name);

    // ---- values

    // Python's `str(x)`.
    inline py::str str_of(const char* s) { return py::reinterpret_borrow<py::str>(interned(s)); }
    inline py::str str_of(const py::handle& v) {
        PyObject* s = PyObject_Str(v.ptr());
        if (!s) throw py::error_already_set();
        return py::reinterpret_steal<py::str>(s);
    }

    // Log text: the pieces, each rendered with str(), joined.
    template <typename... Parts>
    py::str line(const Parts&... parts) {
        py::list pieces;
        (pieces.append(str_of(parts)), ...);
        PyObject* joined = PyUnicode_Join(""_n.ptr(), pieces.ptr());
        if (!joined) throw py::error_already_set();
        return py::reinterpret_steal<py::str>(joined);
    }

    // `container[key]` and `container[index]`
    inline py::object item(const py::handle& container, const char* key) {
        return container[interned(key)];
    }
    inline py::object at(const py::handle& container, Py_ssize_t index) {
        return container[py::int_(index)];
    }

    // `key in container`
    bool has_key(const py::handle& container, const char* key);

    // `{"gw_name": name}`: the record standing for a gateway that was not found.
    py::dict name_only_record(const py::object& name);

    // `Globals.dry_run == False` and `bool(Globals.dry_run)`.
    bool dry_run_equals_false();
    bool dry_run_set();

    // ---- logging

    // The logger named after the module, taken when the operation starts.
    class Log {
      public:
        Log();
        void info(const py::str& text) const;
        void error(const py::str& text) const;

      private:
        py::object logger_;
    };

    // "  Returned: <return>  Result: <results>" (a refusal without `results`: its `reason`)
    void log_returned(const Log& log, const py::object& response);
    // "  <response>"
    void log_response(const Log& log, const py::object& response);

    // ---- controller requests

    enum class Send {
        Post,      // POST, fields as form body
        GetForm,   // GET, fields as form body
        GetQuery,  // GET, fields as query parameters
    };

    // Sends the form to the endpoint with certificate verification off; the raw response.
    py::object send(Send how, const py::object& url, const py::dict& form);
    // The same, with the JSON body of the response decoded.
    py::object send_json(Send how, const py::object& url, const py::dict& form);

    // ---- commands

    inline constexpr const char* kApiV1 = "/v1/api";
    inline constexpr const char* kApiV2 = "/v2/api";

    // What a command method starts with: the operation log under the object's class name,
    // then the controller login from Globals, read now.
    struct Login {
        py::object cid;
        py::object endpoint;  // "https://" + Globals.controller_ip + api_path
    };
    Login begin_command(const py::object& self, const char* api_path);

    // ---- classes

    // `self.name = value`, in the order given, as a constructor written in Python does.
    void set_attributes(const py::object& self,
                        std::initializer_list<std::pair<const char*, py::object>> values);

    // `(object,)` and `(<outside base>,)`: the bases of the module's classes.
    py::tuple plain_bases();
    py::tuple bases_of(const char* outside_base);

    // ---- registration

    // The parameters of an operation or method as a Python `def` lists them (a method's start
    // with `self`), and the binding of a call's arguments to them. A call that does not fit
    // fails with the TypeError the interpreter raises for a Python function of that signature.
    class Parameters {
      public:
        explicit Parameters(std::string qualname) : qualname_(std::move(qualname)) {}
        void add(const char* name);                  // required
        void add(const py::arg& a) { add(a.name); }  // required
        void add(const py::arg_v& a);                // with its default
        const std::string& qualname() const { return qualname_; }
        // `args`: the call's positional arguments (a tuple); `kwargs`: a dict or null.
        std::vector<py::object> bind(PyObject* args, PyObject* kwargs) const;

      private:
        std::string qualname_;
        std::vector<py::object> names_;     // interned str
        std::vector<py::object> defaults_;  // null where the parameter has no default
    };

    template <typename R, typename... A, std::size_t... I>
    py::object invoke(R (*f)(A...), std::vector<py::object>& values, std::index_sequence<I...>) {
        if constexpr (std::is_void_v<R>) {
            f(std::move(values[I])...);
            return py::none();
        } else {
            return f(std::move(values[I])...);
        }
    }

    // The interpreter's entry point of operation or method F. The module's operations and
    // methods are builtin functions of the module (their `self` is the module, as for the
    // builtins of a C module; a method gets its instance as the first argument through the
    // class's instance-method wrapper), so F runs with the namespace of the module it was
    // called through as the current one. Python exceptions leave as they came.
    template <auto F>
    struct Entry {
        static inline const Parameters* parameters = nullptr;  // set once, kept for good

        static PyObject* call(PyObject* module, PyObject* args, PyObject* kwargs) {
            try {
                std::vector<py::object> values = parameters->bind(args, kwargs);
                ActiveScope active(PyModule_GetDict(module));
                return invoke(F, values, arity(F)).release().ptr();
            } catch (py::error_already_set& e) {
                e.restore();
            } catch (const py::builtin_exception& e) {
                e.set_error();
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
            } catch (const std::exception& e) {
                PyErr_SetString(PyExc_SystemError, e.what());
            } catch (...) {
                PyErr_SetString(PyExc_SystemError,
                                "unexpected C++ exception in tidewall.lib.spoke");
            }
            return nullptr;
        }

      private:
        template <typename R, typename... A>
        static constexpr auto arity(R (*)(A...)) {
            return std::index_sequence_for<A...>{};
        }
    };

    // Keeps `parameters` as the parameters of an entry point (`slot`); an entry point serves one
    // operation or method only.
    void keep_parameters(const Parameters*& slot, Parameters parameters);

    // The builtin function object `name` of module `m`, calling `entry`; help() and
    // inspect.signature() show "name(params)".
    py::object builtin(py::module_& m, const char* name, const std::string& params, const char* doc,
                       PyCFunctionWithKeywords entry);

    template <typename R, typename... A>
    constexpr std::size_t parameter_count(R (*)(A...)) {
        return sizeof...(A);
    }

    // A module-level operation bound as a module attribute, with its real signature. `args`
    // names each parameter of F (py::arg, or py::arg(...) = default).
    template <auto F, typename... Args>
    void def(py::module_& m, const char* name, const char* params, const char* doc,
             const Args&... args) {
        static_assert(parameter_count(F) == sizeof...(Args), "one py::arg per parameter");
        Parameters parameters(name);
        (parameters.add(args), ...);
        keep_parameters(Entry<F>::parameters, std::move(parameters));
        m.attr(name) = builtin(m, name, params, doc, &Entry<F>::call);
    }

    // A method of class `cls` for its namespace (constructors: "__init__"), bound to its
    // instance on access like a Python function. F takes self first; `args` names the
    // parameters after self.
    template <auto F, typename... Args>
    py::object def_method(py::module_& m, const char* cls, const char* name, const char* params,
                          const char* doc, const Args&... args) {
        static_assert(parameter_count(F) == sizeof...(Args) + 1, "self, then one py::arg each");
        Parameters parameters(std::string(cls) + "." + name);
        parameters.add("self");
        (parameters.add(args), ...);
        keep_parameters(Entry<F>::parameters, std::move(parameters));
        py::object function = builtin(
            m, name, std::string("self") + (params[0] ? ", " : "") + params, doc, &Entry<F>::call);
        PyObject* method = PyInstanceMethod_New(function.ptr());
        if (!method) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(method);
    }

    // A class built like a `class` statement of this module, its methods in `ns`. Its
    // `__signature__` (the constructor's, without self) is worked out on first use, so loading
    // the module needs no `inspect`.
    void def_class(py::module_& m, const char* name, py::tuple bases, py::dict ns, const char* doc);

    // The `toDict()` method of a memento class: `self.__dict__` itself, not a copy. One entry
    // point per class.
    enum class MementoClass { HsSpokeCreate, SnatEnable, ResizeSpokeGateway };
    template <MementoClass>
    py::object attribute_dict(py::object self) {
        return self.attr("__dict__"_n);
    }
    template <MementoClass K>
    py::object to_dict_method(py::module_& m, const char* cls) {
        return def_method<&attribute_dict<K>>(
            m, cls, "toDict", "", "The memento's own attribute dictionary (not a copy).");
    }

    // Each capability adds its operations / classes; the module calls them in the order the
    // surface lists them.
    void add_discovery_operations(py::module_& m);
    void add_resize_operation(py::module_& m);
    void add_classic_deploy_operation(py::module_& m);
    void add_hs_deploy_operations(py::module_& m);
    void add_deletion_operations(py::module_& m);
    void add_snat_operations(py::module_& m);

    void add_hs_spoke_classes(py::module_& m);
    void add_hs_deploy_command(py::module_& m);
    void add_classic_deploy_command(py::module_& m);
    void add_snat_classes(py::module_& m);
    void add_resize_classes(py::module_& m);

    }  // namespace spoke
}  // namespace tidewall

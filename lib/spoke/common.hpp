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

    // `a == b` and `a != b` as a Python `if` sees them: the comparison's own result, then its
    // truth value. Unlike PyObject_RichCompareBool there is no shortcut for identical objects.
    bool equals(const py::handle& a, const py::handle& b);
    bool differs(const py::handle& a, const py::handle& b);

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

    // The `toDict()` method of memento class `cls`: `self.__dict__` itself, not a copy.
    py::object to_dict_method(py::module_& m, const char* cls);

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
        std::vector<py::object> bind(const py::args& args, const py::kwargs& kwargs) const;

      private:
        [[noreturn]] void fail(const std::string& what) const;
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

    // `f` called with the arguments bound to `parameters`, run with the namespace of module `m`
    // as the current one.
    template <typename R, typename... A>
    auto in_module(py::module_& m, std::shared_ptr<const Parameters> parameters, R (*f)(A...)) {
        py::object module_dict = m.attr("__dict__"_n);
        return [module_dict, parameters, f](py::args args, py::kwargs kwargs) -> py::object {
            std::vector<py::object> values = parameters->bind(args, kwargs);
            ActiveScope active(module_dict);
            return invoke(f, values, std::index_sequence_for<A...>{});
        };
    }

    // A module-level operation bound as a module attribute, with its real signature. `args`
    // names each parameter of `f` (py::arg, or py::arg(...) = default).
    template <typename R, typename... A, typename... Args>
    void def(py::module_& m, const char* name, const char* params, const char* doc, R (*f)(A...),
             const Args&... args) {
        static_assert(sizeof...(A) == sizeof...(Args), "one py::arg per parameter");
        auto parameters = std::make_shared<Parameters>(name);
        (parameters->add(args), ...);
        m.attr(name) =
            function(name, params, doc, in_module(m, std::move(parameters), f), py::scope(m));
    }

    // A class built like a `class` statement of this module, its methods in `ns`. Its
    // `__signature__` (the constructor's, without self) is worked out on first use, so loading
    // the module needs no `inspect`.
    void def_class(py::module_& m, const char* name, py::tuple bases, py::dict ns, const char* doc);

    // A method for a class namespace: `self` is bound on instance access like a Python
    // function's; help() and inspect.signature() show "shown(self, params)".
    template <typename Func>
    py::object method_object(py::module_& m, const char* record_name, const char* shown,
                             const char* params, const char* doc, Func&& f) {
        py::options options;
        options.disable_function_signatures();
        std::string full =
            std::string(shown) + "(self" + (params[0] ? ", " : "") + params + ")\n--\n\n" + doc;
        return py::cpp_function(std::forward<Func>(f), py::name(record_name), py::doc(full.c_str()),
                                py::is_method(m));
    }

    // Shows `method` (made by method_object) under the name "__init__".
    void name_constructor(const py::object& method);

    // A method of class `cls` for its namespace (constructors: name "__init__", stored under
    // "__init__"). `f` takes self first; `args` names the parameters after self.
    template <typename R, typename... A, typename... Args>
    py::object def_method(py::module_& m, const char* cls, const char* name, const char* params,
                          const char* doc, R (*f)(A...), const Args&... args) {
        static_assert(sizeof...(A) == sizeof...(Args) + 1, "self, then one py::arg each");
        auto parameters = std::make_shared<Parameters>(std::string(cls) + "." + name);
        parameters->add("self");
        (parameters->add(args), ...);
        // pybind11 takes a function record named "__init__" for a constructor of its own
        // classes; the constructor is made under another name and then shown as "__init__".
        const bool constructor = std::string(name) == "__init__";
        py::object made = method_object(m, constructor ? "__init_impl__" : name, name, params, doc,
                                        in_module(m, std::move(parameters), f));
        if (constructor) name_constructor(made);
        return made;
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

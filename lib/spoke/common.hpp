// Pieces shared by the spoke operations: the module namespace, controller requests, log lines,
// the command endpoint, and the registration helpers of the module's functions and classes.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <tidewall/controller.hpp>
#include <tidewall/pyhost.hpp>
#include <utility>

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

    // The `toDict()` method of the mementos: `self.__dict__` itself, not a copy.
    py::object to_dict_method(py::module_& m);

    // `(object,)` and `(<outside base>,)`: the bases of the module's classes.
    py::tuple plain_bases();
    py::tuple bases_of(const char* outside_base);

    // ---- registration

    // `f` run with the namespace of module `m` as the current one.
    template <typename R, typename... A>
    auto in_module(py::module_& m, R (*f)(A...)) {
        py::object module_dict = m.attr("__dict__"_n);
        return [module_dict, f](A... args) -> R {
            ActiveScope active(module_dict);
            return f(std::move(args)...);
        };
    }

    // A module-level operation bound as a module attribute, with its real signature.
    template <typename R, typename... A, typename... Args>
    void def(py::module_& m, const char* name, const char* params, const char* doc, R (*f)(A...),
             Args&&... args) {
        m.attr(name) =
            function(name, params, doc, in_module(m, f), py::scope(m), std::forward<Args>(args)...);
    }

    // A class built like a `class` statement of this module, its methods in `ns`. Its
    // `__signature__` (the constructor's, without self) is worked out on first use, so loading
    // the module needs no `inspect`.
    void def_class(py::module_& m, const char* name, py::tuple bases, py::dict ns, const char* doc);

    // A method for a class namespace (constructors: store under "__init__").
    template <typename R, typename... A, typename... Args>
    py::object def_method(py::module_& m, const char* name, const char* params, const char* doc,
                          R (*f)(A...), Args&&... args) {
        return method(m, name, params, doc, in_module(m, f), std::forward<Args>(args)...);
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

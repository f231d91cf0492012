// The tool's controller-side services as the spoke module calls them: the controller-access
// module (tidewall.lib.corvane_backend), the settings holder (tidewall.core.Globals), the
// operation log (tidewall.lib.commonlib.Common, bound as `comm`), the HTTP client and the host's
// logging. Every name is looked up in the calling module's namespace when it is used, so a
// caller that rebinds one of them is honoured the way Python code would honour it.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>
#include <tidewall/pyhost.hpp>
#include <unordered_map>
#include <utility>

namespace tidewall __attribute__((visibility("hidden"))) {

    namespace py = pybind11;

    // The interned str of a name written as a literal, made on first use and kept for the life
    // of the process (as the interpreter keeps the names of compiled code), so that a lookup by
    // name neither builds nor hashes a new string.
    inline py::handle interned(const char* literal) {
        static auto* cache = new std::unordered_map<const char*, PyObject*>();
        auto found = cache->find(literal);
        if (found != cache->end()) return found->second;
        PyObject* name = PyUnicode_InternFromString(literal);
        if (!name) throw py::error_already_set();
        cache->emplace(literal, name);
        return name;
    }

    namespace literals {
    // "name"_n: interned(name)
    inline py::handle operator""_n(const char* literal, std::size_t) { return interned(literal); }
    }  // namespace literals

    // `f(*args, **kwargs)` with keyword names given as literals.
    inline py::object call(py::handle f, std::initializer_list<py::handle> args,
                           std::initializer_list<std::pair<const char*, py::handle>> kwargs) {
        py::tuple positional(args.size());
        std::size_t i = 0;
        for (py::handle arg : args) PyTuple_SET_ITEM(positional.ptr(), i++, arg.inc_ref().ptr());
        py::dict named;
        for (const auto& [name, value] : kwargs)
            if (PyDict_SetItem(named.ptr(), interned(name).ptr(), value.ptr()) < 0)
                throw py::error_already_set();
        PyObject* result = PyObject_Call(f.ptr(), positional.ptr(), named.ptr());
        if (!result) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(result);
    }

    namespace controller {

    using namespace literals;

    class Services {
      public:
        explicit Services(ModuleScope scope) : g_(scope) {}

        // ---- tidewall.lib.corvane_backend

        // handleControllerApiFailure(response): true for a reply that reports success; a
        // failure is reported by the handler itself. The result is handed back untouched.
        py::object handleControllerApiFailure(py::handle response) const {
            return global("handleControllerApiFailure")(response);
        }

        // handleControllerApiFailureAndExit(response): returns only for a reply that reports
        // success; a failure ends the run (SystemExit passes through).
        void handleControllerApiFailureAndExit(py::handle response) const {
            global("handleControllerApiFailureAndExit")(response);
        }

        // _send_corvane_api(...), all by name; returns the HTTP response undecoded.
        py::object send_corvane_api(py::handle api_endpoint_url, py::handle request_method,
                                    py::handle payload, py::handle keyword_for_log,
                                    py::handle indent) const {
            return call(global("_send_corvane_api"), {},
                        {{"api_endpoint_url", api_endpoint_url},
                         {"request_method", request_method},
                         {"payload", payload},
                         {"keyword_for_log", keyword_for_log},
                         {"indent", indent}});
        }

        // ---- tidewall.core.Globals, read when asked

        py::object cid() const { return global("Globals").attr("CID"_n); }
        py::object controller_ip() const { return global("Globals").attr("controller_ip"_n); }
        py::object dry_run() const { return global("Globals").attr("dry_run"_n); }

        // ---- tidewall.lib.commonlib.Common (bound as comm)

        void logOperation(py::handle class_name) const {
            global("comm").attr("logOperation"_n)(class_name);
        }

        // ---- the interpreter's HTTP client and logging

        py::object requests() const { return global("requests"); }
        py::object logger(const char* name) const {
            return global("logging").attr("getLogger"_n)(interned(name));
        }

        // A name of the module namespace, as LOAD_GLOBAL finds it.
        py::object global(const char* name) const {
            PyObject* value = PyDict_GetItemWithError(g_.dict().ptr(), interned(name).ptr());
            if (value) return py::reinterpret_borrow<py::object>(value);
            if (PyErr_Occurred()) throw py::error_already_set();
            return g_(name);  // builtins, else NameError
        }

      private:
        ModuleScope g_;
    };

    }  // namespace controller
}  // namespace tidewall

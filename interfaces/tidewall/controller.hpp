// The tool's controller-side services as the spoke module calls them: the controller-access
// module (tidewall.lib.corvane_backend), the settings holder (tidewall.core.Globals), the
// operation log (tidewall.lib.commonlib.Common, bound as `comm`), the HTTP client and the host's
// logging. Every name is looked up in the calling module's namespace when it is used, so a
// caller that rebinds one of them is honoured the way Python code would honour it.
#pragma once

#include <pybind11/pybind11.h>

#include <tidewall/pyhost.hpp>

namespace tidewall __attribute__((visibility("hidden"))) {
    namespace controller {

    namespace py = pybind11;

    class Services {
      public:
        explicit Services(ModuleScope scope) : g_(scope) {}

        // ---- tidewall.lib.corvane_backend

        // handleControllerApiFailure(response): true for a reply that reports success; a
        // failure is reported by the handler itself. The result is handed back untouched.
        py::object handleControllerApiFailure(py::handle response) const {
            return g_("handleControllerApiFailure")(response);
        }

        // handleControllerApiFailureAndExit(response): returns only for a reply that reports
        // success; a failure ends the run (SystemExit passes through).
        void handleControllerApiFailureAndExit(py::handle response) const {
            g_("handleControllerApiFailureAndExit")(response);
        }

        // _send_corvane_api(...), all by name; returns the HTTP response undecoded.
        py::object send_corvane_api(py::handle api_endpoint_url, const char* request_method,
                                    py::handle payload, py::handle keyword_for_log,
                                    const char* indent) const {
            return g_("_send_corvane_api")(
                py::arg("api_endpoint_url") = api_endpoint_url,
                py::arg("request_method") = request_method, py::arg("payload") = payload,
                py::arg("keyword_for_log") = keyword_for_log, py::arg("indent") = indent);
        }

        // ---- tidewall.core.Globals, read when asked

        py::object cid() const { return g_("Globals").attr("CID"); }
        py::object controller_ip() const { return g_("Globals").attr("controller_ip"); }
        py::object dry_run() const { return g_("Globals").attr("dry_run"); }

        // ---- tidewall.lib.commonlib.Common (bound as comm)

        void logOperation(py::handle class_name) const {
            g_("comm").attr("logOperation")(class_name);
        }

        // ---- the interpreter's HTTP client and logging

        py::object requests() const { return g_("requests"); }
        py::object logger(const char* name) const { return g_("logging").attr("getLogger")(name); }

      private:
        ModuleScope g_;
    };

    }  // namespace controller
}  // namespace tidewall

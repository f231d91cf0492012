// The tool's controller-side services as the spoke module calls them: the controller-access
// module (tidewall.lib.corvane_backend), the settings holder (tidewall.core.Globals), the
// operation log (tidewall.lib.commonlib.Common, bound as `comm`), the HTTP client and the host's
// logging. Every name is looked up in the calling module's namespace when it is used, so a
// caller that rebinds one of them is honoured the way Python code would honour it.
#pragma once

#include <tidewall/py.hpp>

namespace tidewall {
namespace controller {

// handleControllerApiFailure(response): true for a reply that reports success; a failure is
// reported by the handler itself. The answer is handed back untouched.
inline Ref check_reply(const Scope& g, PyObject* response) {
    return call(g["handleControllerApiFailure"_id], response);
}

// handleControllerApiFailureAndExit(response): returns only for a reply that reports success; a
// failure ends the run (SystemExit passes through).
inline void check_reply_or_exit(const Scope& g, PyObject* response) {
    call(g["handleControllerApiFailureAndExit"_id], response);
}

// _send_corvane_api(...), all by name; the HTTP response undecoded.
inline Ref send_corvane_api(const Scope& g, PyObject* api_endpoint_url, PyObject* request_method,
                            PyObject* payload, PyObject* keyword_for_log, PyObject* indent) {
    return call(g["_send_corvane_api"_id], {},
                Kw<"api_endpoint_url", "request_method", "payload", "keyword_for_log", "indent">(
                    api_endpoint_url, request_method, payload, keyword_for_log, indent));
}

// Globals.CID, Globals.controller_ip, Globals.dry_run: read when asked.
inline Ref cid(const Scope& g) { return attr(g["Globals"_id], "CID"_id); }
inline Ref controller_ip(const Scope& g) { return attr(g["Globals"_id], "controller_ip"_id); }
inline Ref dry_run(const Scope& g) { return attr(g["Globals"_id], "dry_run"_id); }

// comm.logOperation(class_name)
inline void log_operation(const Scope& g, PyObject* class_name) {
    call_method(g["comm"_id], "logOperation"_id, class_name);
}

// logging.getLogger(name)
inline Ref logger(const Scope& g, PyObject* name) {
    return call_method(g["logging"_id], "getLogger"_id, name);
}

}  // namespace controller
}  // namespace tidewall

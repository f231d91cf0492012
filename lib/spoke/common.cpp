#include "common.hpp"

#include <stdexcept>

namespace tidewall {
namespace spoke {

namespace {
// Left alive on purpose until the process ends: the module namespace outlives every call, and
// nothing may be destroyed after the interpreter has finalised.
ModuleScope* g_scope = nullptr;
controller::Services* g_services = nullptr;
}  // namespace

void bind_scope(py::handle module_dict) {
    module_dict.inc_ref();  // held for the life of the process
    g_scope = new ModuleScope(module_dict);
    g_services = new controller::Services(*g_scope);
}

const ModuleScope& scope() { return *g_scope; }
const controller::Services& services() { return *g_services; }

py::dict name_only_record(const py::object& name) {
    py::dict record;
    record["gw_name"] = name;
    return record;
}

bool dry_run_equals_false() { return py_eq(services().dry_run(), py::bool_(false)); }
bool dry_run_set() { return truthy(services().dry_run()); }

Log::Log() : logger_(services().logger(kModuleName)) {}
void Log::info(const py::str& text) const { logger_.attr("info")(text); }
void Log::error(const py::str& text) const { logger_.attr("error")(text); }

bool has_key(const py::handle& container, const char* key) {
    int found = PySequence_Contains(container.ptr(), py::str(key).ptr());
    if (found < 0) throw py::error_already_set();
    return found != 0;
}

void log_returned(const Log& log, const py::object& response) {
    py::object returned = item(response, "return");
    // A refusal carries its `reason` in place of `results`: log that rather than fail on it.
    const char* result_key =
        !has_key(response, "results") && has_key(response, "reason") ? "reason" : "results";
    py::object results = item(response, result_key);
    log.info(line("  Returned: ", returned, "  Result: ", results));
}

void log_response(const Log& log, const py::object& response) { log.info(line("  ", response)); }

py::object send(Send how, const py::object& url, const py::dict& form) {
    py::object http = services().requests();
    switch (how) {
        case Send::Post:
            return http.attr("post")(url, "data"_a = form, "verify"_a = false);
        case Send::GetForm:
            return http.attr("get")(url, "data"_a = form, "verify"_a = false);
        case Send::GetQuery:
            return http.attr("get")(url, "params"_a = form, "verify"_a = false);
    }
    throw std::logic_error("unknown request kind");
}

py::object send_json(Send how, const py::object& url, const py::dict& form) {
    return send(how, url, form).attr("json")();
}

Login begin_command(const py::object& self, const char* api_path) {
    const controller::Services& ctl = services();
    ctl.logOperation(py::type::of(self).attr("__name__"));
    py::object cid = ctl.cid();
    // Python's `+`: a controller address that is not text fails here instead of being sent.
    py::object endpoint = py::str("https://") + ctl.controller_ip() + py::str(api_path);
    return {cid, endpoint};
}

void set_attributes(const py::object& self,
                    std::initializer_list<std::pair<const char*, py::object>> values) {
    for (const auto& [name, value] : values) py::setattr(self, name, value);
}

py::object to_dict_method(py::module_& m) {
    return def_method(m, "toDict", "", "The memento's own attribute dictionary (not a copy).",
                      [](py::object self) -> py::object { return self.attr("__dict__"); });
}

namespace {

// `__get__` of the lazy class signature: inspect.signature(constructor) without its first
// parameter, computed once.
py::object constructor_signature(py::object self, py::object /*instance*/, py::object /*owner*/) {
    py::dict state = self.attr("__dict__");
    if (state.contains("signature")) return state["signature"];
    py::object inspect = py::module_::import("inspect");
    py::object signature = inspect.attr("signature")(state["constructor"]);
    py::list parameters(signature.attr("parameters").attr("values")());
    py::object rest = parameters[py::slice(1, static_cast<Py_ssize_t>(parameters.size()), 1)];
    signature = signature.attr("replace")("parameters"_a = rest);
    state["signature"] = signature;
    return signature;
}

// The descriptor class, made on first use and kept for the life of the process.
py::object lazy_signature_class(py::module_& m) {
    static py::object* cls = nullptr;
    if (!cls) {
        py::dict ns;
        ns["__get__"] = def_method(
            m, "__get__", "instance, owner=None", "The constructor's signature without self.",
            &constructor_signature, py::arg("instance"), py::arg("owner") = py::none());
        cls = new py::object(make_class(kModuleName, "_ConstructorSignature", plain_bases(), ns,
                                        "A class's __signature__, worked out when asked for."));
    }
    return *cls;
}

}  // namespace

void def_class(py::module_& m, const char* name, py::tuple bases, py::dict ns, const char* doc) {
    // The constructor joins the class after it is made, so that make_class leaves the signature
    // to us (it is not abstract: ABC bases see the same class either way). The other methods are
    // then added again after it, so the class lists its methods in definition order.
    py::object init = ns.attr("pop")("__init__", py::none());
    py::list later(ns.attr("keys")());
    py::object cls = make_class(kModuleName, name, std::move(bases), std::move(ns), doc);
    if (!init.is_none()) {
        py::setattr(cls, "__init__", init);
        for (py::handle key : later) {
            py::object value = cls.attr("__dict__")[key];
            py::delattr(cls, key);
            py::setattr(cls, key, value);
        }
        py::object signature = lazy_signature_class(m)();
        signature.attr("constructor") = cls.attr("__init__");
        py::setattr(cls, "__signature__", signature);
    }
    m.attr(name) = cls;
}

py::tuple plain_bases() { return py::make_tuple(global("object")); }
py::tuple bases_of(const char* outside_base) { return py::make_tuple(global(outside_base)); }

}  // namespace spoke
}  // namespace tidewall

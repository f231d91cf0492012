#include "common.hpp"

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace tidewall {
namespace spoke {

namespace {
thread_local const ModuleScope* t_current = nullptr;
}  // namespace

ActiveScope::ActiveScope(py::handle module_dict) : scope_(module_dict), previous_(t_current) {
    t_current = &scope_;
}
ActiveScope::~ActiveScope() { t_current = previous_; }

const ModuleScope& scope() {
    if (!t_current) throw std::logic_error("tidewall.lib.spoke: no module namespace is active");
    return *t_current;
}
controller::Services services() { return controller::Services(scope()); }
py::object global(const char* name) { return services().global(name); }

py::dict name_only_record(const py::object& name) {
    py::dict record;
    record["gw_name"_n] = name;
    return record;
}

bool dry_run_equals_false() { return equals(services().dry_run(), Py_False); }
bool dry_run_set() { return truthy(services().dry_run()); }

Log::Log() : logger_(services().logger(kModuleName)) {}
void Log::info(const py::str& text) const { logger_.attr("info"_n)(text); }
void Log::error(const py::str& text) const { logger_.attr("error"_n)(text); }

bool has_key(const py::handle& container, const char* key) {
    int found = PySequence_Contains(container.ptr(), interned(key).ptr());
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
            return call(http.attr("post"_n), {url}, {{"data", form}, {"verify", Py_False}});
        case Send::GetForm:
            return call(http.attr("get"_n), {url}, {{"data", form}, {"verify", Py_False}});
        case Send::GetQuery:
            return call(http.attr("get"_n), {url}, {{"params", form}, {"verify", Py_False}});
    }
    throw std::logic_error("unknown request kind");
}

py::object send_json(Send how, const py::object& url, const py::dict& form) {
    return send(how, url, form).attr("json"_n)();
}

Login begin_command(const py::object& self, const char* api_path) {
    const controller::Services ctl = services();
    ctl.logOperation(py::type::of(self).attr("__name__"_n));
    py::object cid = ctl.cid();
    // Python's `+`: a controller address that is not text fails here instead of being sent.
    py::object endpoint = py::str("https://") + ctl.controller_ip() + py::str(api_path);
    return {cid, endpoint};
}

void set_attributes(const py::object& self,
                    std::initializer_list<std::pair<const char*, py::object>> values) {
    for (const auto& [name, value] : values) py::setattr(self, interned(name), value);
}

// ---- argument binding, with the interpreter's messages for a call that does not fit

void Parameters::add(const char* name) {
    names_.push_back(py::reinterpret_borrow<py::object>(interned(name)));
    defaults_.emplace_back();
}

void Parameters::add(const py::arg_v& a) {
    names_.push_back(py::reinterpret_borrow<py::object>(interned(a.name)));
    defaults_.push_back(a.value);
}

namespace {

[[noreturn]] void type_error(const py::str& message) {
    PyErr_SetObject(PyExc_TypeError, message.ptr());
    throw py::error_already_set();
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
py::str listing(const std::vector<py::object>& names) {
    py::list shown;
    for (const py::object& name : names) shown.append(py::repr(name));
    const std::size_t n = names.size();
    if (n == 1) return shown[0];
    if (n == 2) return py::str("{} and {}").format(shown[0], shown[1]);
    py::str head = py::str(", ").attr("join"_n)(shown[py::slice(0, n - 2, 1)]);
    return py::str("{}, {}, and {}").format(head, shown[n - 2], shown[n - 1]);
}

}  // namespace

std::vector<py::object> Parameters::bind(PyObject* args, PyObject* kwargs) const {
    const std::size_t count = names_.size();
    const std::size_t given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    const py::str who(qualname_ + "()");
    std::vector<py::object> values(count);
    for (std::size_t i = 0; i < given && i < count; ++i)
        values[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));

    if (kwargs) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t j = 0;
            while (j < count && !equals(key, names_[j])) ++j;
            if (j == count)
                type_error(py::str("{} got an unexpected keyword argument '{}'")
                               .format(who, py::handle(key)));
            if (values[j])
                type_error(py::str("{} got multiple values for argument '{}'")
                               .format(who, py::handle(key)));
            values[j] = py::reinterpret_borrow<py::object>(value);
        }
    }

    std::size_t with_default = 0;
    for (const py::object& d : defaults_) with_default += d ? 1 : 0;
    if (given > count) {
        const std::string takes =
            with_default ? "from " + std::to_string(count - with_default) + " to " +
                               std::to_string(count) + " positional arguments"
                         : std::to_string(count) + " positional argument" + (count == 1 ? "" : "s");
        type_error(py::str("{} takes {} but {} {} given")
                       .format(who, takes, given, given == 1 ? "was" : "were"));
    }

    std::vector<py::object> missing;
    for (std::size_t i = given; i < count - with_default; ++i)
        if (!values[i]) missing.push_back(names_[i]);
    if (!missing.empty())
        type_error(
            py::str("{} missing {} required positional argument{}: {}")
                .format(who, missing.size(), missing.size() == 1 ? "" : "s", listing(missing)));

    for (std::size_t i = 0; i < count; ++i)
        if (!values[i]) values[i] = defaults_[i];
    return values;
}

void keep_parameters(const Parameters*& slot, Parameters parameters) {
    if (!slot) {
        slot = new Parameters(std::move(parameters));  // lives as long as the entry point
    } else if (slot->qualname() != parameters.qualname()) {
        throw std::logic_error("one entry point for " + slot->qualname() + " and " +
                               parameters.qualname());
    }
}

py::object builtin(py::module_& m, const char* name, const std::string& params, const char* doc,
                   PyCFunctionWithKeywords entry) {
    // A function object refers to its definition for as long as it lives, possibly until the
    // interpreter ends: the definition is never freed.
    const std::string text = std::string(name) + "(" + params + ")\n--\n\n" + doc;
    auto* definition =
        new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
                        METH_VARARGS | METH_KEYWORDS, strdup(text.c_str())};
    py::object module_name = m.attr("__name__"_n);
    PyObject* function = PyCFunction_NewEx(definition, m.ptr(), module_name.ptr());
    if (!function) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(function);
}

namespace {

// `__get__` of the lazy class signature: inspect.signature(constructor) without its first
// parameter, computed once.
py::object constructor_signature(py::object self, py::object /*instance*/, py::object /*owner*/) {
    py::dict state = self.attr("__dict__"_n);
    if (state.contains("signature")) return state["signature"_n];
    py::object inspect = py::module_::import("inspect");
    py::object signature = inspect.attr("signature"_n)(state["constructor"_n]);
    py::list parameters(signature.attr("parameters"_n).attr("values"_n)());
    py::object rest = parameters[py::slice(1, static_cast<Py_ssize_t>(parameters.size()), 1)];
    signature = signature.attr("replace"_n)("parameters"_a = rest);
    state["signature"_n] = signature;
    return signature;
}

// The descriptor class, made on first use and kept for the life of the process.
py::object lazy_signature_class(py::module_& m) {
    static py::object* cls = nullptr;
    if (!cls) {
        py::dict ns;
        ns["__get__"_n] = def_method<&constructor_signature>(
            m, "_ConstructorSignature", "__get__", "instance, owner=None",
            "The constructor's signature without self.", py::arg("instance"),
            py::arg("owner") = py::none());
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
    py::object init = ns.attr("pop"_n)("__init__", py::none());
    py::list later(ns.attr("keys"_n)());
    py::object cls = make_class(kModuleName, name, std::move(bases), std::move(ns), doc);
    if (!init.is_none()) {
        py::setattr(cls, "__init__", init);
        for (py::handle key : later) {
            py::object value = cls.attr("__dict__"_n)[key];
            py::delattr(cls, key);
            py::setattr(cls, key, value);
        }
        py::object signature = lazy_signature_class(m)();
        signature.attr("constructor"_n) = cls.attr("__init__"_n);
        py::setattr(cls, "__signature__", signature);
    }
    m.attr(name) = cls;
}

py::tuple plain_bases() { return py::make_tuple(global("object")); }
py::tuple bases_of(const char* outside_base) { return py::make_tuple(global(outside_base)); }

}  // namespace spoke
}  // namespace tidewall

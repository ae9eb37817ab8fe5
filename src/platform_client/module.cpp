// The module definition and its body: imports, constants, and the classes
// assembled from the function tables in the order the module fixes.
#include <string>
#include <string_view>

#include "core/boundary.hpp"
#include "core/raising.hpp"
#include "client/redaction.hpp"
#include "client/tables.hpp"
#include "operations/tables.hpp"
#include "transport/tables.hpp"

namespace qc {
namespace {

// PlatformClient's methods in the order of definition in its class body.
constexpr std::string_view client_method_order[] = {
    "__init__",
    "_resolve_tls_verification",
    "_is_sensitive_payload_key",
    "_mask_token_only",
    "_sanitize_text_for_log",
    "_sanitize_payload_for_log",
    "_sanitize_value_for_log",
    "_sanitize_url_or_text_for_log",
    "_sanitize_url_for_log",
    "_sanitize_query_string_for_log",
    "_format_payload_for_log",
    "_sanitize_body_string_for_log",
    "_payload_from_request_kwargs",
    "_files_payload_for_log",
    "_build_session",
    "_request_kwargs_for_attempt",
    "_log_request_attempt_payload",
    "_log_response_status",
    "_retry_delay_for_response",
    "_should_retry_response",
    "_should_retry_network_error",
    "_request_with_retry",
    "_url",
    "_network_error",
    "_post_form_response",
    "_build_engagement_status_params",
    "_filter_groups",
    "_extract_response_id",
    "_log_upsert_status",
    "_create_or_get_entity_id",
    "_curl_command",
    "_raise_for_http_error",
    "_parse_json_response",
    "_handle_response",
    "get",
    "_capture_file_positions",
    "_build_streaming_post_kwargs",
    "_prepare_post_form_kwargs",
    "post_form",
    "post_json",
    "create_or_get_group",
    "create_or_get_repository",
    "create_or_get_branch",
    "create_or_get_engagement",
    "get_engagement_id",
    "upload_report",
    "update_engagement_status",
    "_hide_scan_submit_internals",
    "submit_scan",
    "get_engagement_status",
    "find_groups",
    "get_repository_details",
    "wait_for_engagement",
};

const FunctionDeclaration& client_method_declaration(std::string_view name) {
    for (const DeclarationTable* table :
         {&client_construction_methods(), &redaction_methods(), &log_rendering_methods(), &curl_command_methods(),
          &retry_methods(), &response_classification_methods(), &verb_methods(), &streaming_upload_methods(),
          &entity_upsert_methods(), &upload_methods(), &engagement_status_methods(), &group_search_methods()}) {
        for (const FunctionDeclaration* declaration : *table) {
            if (name == declaration->name) return *declaration;
        }
    }
    throw std::logic_error("PlatformClient method without a declaration: " + std::string(name));
}

constexpr std::pair<const char*, const char*> context_labels[] = {
    {"create group", "создание группы"},
    {"find group after create", "поиск группы после создания"},
    {"create repository", "создание репозитория"},
    {"create branch", "создание ветки"},
    {"create engagement", "создание сканирования"},
    {"get engagement id", "получение id сканирования"},
    {"update engagement status", "обновление статуса сканирования"},
    {"submit scan", "запуск сканирования"},
    {"get engagement status", "получение статуса сканирования"},
    {"engagement status resolution", "уточнение статуса сканирования"},
};

constexpr std::pair<const char*, const char*> endpoint_paths[] = {
    {"GROUP", "/api/v1/git/ci-cd/repository_group"},
    {"REPO", "/api/v1/git/ci-cd/repository"},
    {"BRANCH", "/api/v1/git/ci-cd/branch"},
    {"ENGAGEMENT", "/api/v1/git/ci-cd/engagement"},
    {"SCAN", "/api/v1/git/ci-cd/scan"},
    {"ENGAGEMENT_STATUS", "/api/v1/git/ci-cd/engagement_status"},
    {"IMPORT_ARCHIVE", "/api/v1/git/engagement/import_archive/{}"},
    {"STATUS", "/api/v1/engagement/{}"},
    {"GROUPS_LIST", "/api/v1/git/ci-cd/repository_groups_agent"},
    {"REPO_DETAIL", "/api/v1/git/ci-cd/repository_agent"},
};

const char* const platform_error_doc =
    "Ошибка API платформы. Содержит exit_code для sys.exit() и http_status для HTTP-кодов.";

// Runs the module body against the module's namespace, statement by statement.
class ModuleBody {
public:
    explicit ModuleBody(PyObject* module)
        : ns_(py::reinterpret_borrow<py::dict>(PyModule_GetDict(module))),
          name_(py::reinterpret_borrow<py::str>(ns_["__name__"])) {}

    void run() {
        ns_["__package__"] = name_.attr("rpartition")(".")[py::int_(0)];
        ns_["__doc__"] = py::none();
        bind_imports();
        bind_constants();
        remember_bound_originals();
        ns_["_format_error_context"] = make_function(format_error_context_declaration(), ns_, nullptr, bound_);
        ns_["Endpoints"] = make_endpoints();
        ns_["PlatformError"] = make_platform_error();
        ns_["PlatformClient"] = make_platform_client();
    }

private:
    py::object import(const char* module, py::tuple fromlist = py::tuple(), int level = 0) {
        py::str name(module);
        return detail::checked(
            PyImport_ImportModuleLevelObject(name.ptr(), ns_.ptr(), nullptr, fromlist.ptr(), level));
    }

    // import module
    void import_module(const char* module) { ns_[module] = import(module); }

    // from module import names...
    template <class... Names>
    void import_names(const char* module, int level, Names... names) {
        py::tuple fromlist = py::make_tuple(py::str(names)...);
        py::object source = import(module, fromlist, level);
        (bind_imported_name(source, names), ...);
    }

    void bind_imported_name(py::handle source, const char* name) {
        py::str attribute(name);
        if (auto value = optional_attr(source, attribute.ptr())) {
            ns_[attribute] = *value;
            return;
        }
        raise_cannot_import(source, attribute);
    }

    // The interpreter's own ImportError for `from X import name`.
    [[noreturn]] void raise_cannot_import(py::handle source, py::handle name) {
        py::object module_name = optional_attr(source, "__name__"_id).value_or(py::str("<unknown module name>"));
        std::optional<py::object> file = optional_attr(source, "__file__"_id);
        py::object message;
        if (file && PyUnicode_Check(file->ptr())) {
            message = py::str("cannot import name {!r} from {!r} ({})").format(name, module_name, *file);
        } else {
            message = py::str("cannot import name {!r} from {!r} (unknown location)").format(name, module_name);
        }
        py::object error = call(PyExc_ImportError, message, kw{"name"_id, module_name},
                                kw{"path"_id, file.value_or(py::none())});
        raise(error);
    }

    void bind_imports() {
        import_names("__future__", 0, "annotations");
        for (const char* module : {"json", "logging", "os", "re", "time"}) import_module(module);
        import_names("typing", 0, "TYPE_CHECKING", "Any", "Optional");
        import_names("urllib.parse", 0, "parse_qsl", "urlencode", "urlsplit", "urlunsplit");
        import_module("requests");
        import_module("urllib3");
        import_names("utils", 1, "_COMMIT_ID_RE");
    }

    void bind_constants() {
        ns_["logger"] = ns_["logging"].attr("getLogger")("quillon_agent");
        ns_["_SENSITIVE_PAYLOAD_KEYS"] =
            py::make_tuple("authorization", "api_key", "apikey", "key", "password", "secret", "token");
        ns_["_URL_IN_TEXT_RE"] = ns_["re"].attr("compile")(url_in_text_source);
        ns_["_RETRY_HTTP_STATUSES"] = py::make_tuple(429, 500, 502, 503, 504);
        ns_["_REQUEST_RETRY_ATTEMPTS"] = py::int_(30);
        ns_["_REQUEST_RETRY_SLEEP_SECONDS"] = py::int_(10);
        py::dict labels;
        for (const auto& [context, label] : context_labels) labels[py::str(context)] = py::str(label);
        ns_["_CONTEXT_LABELS"] = labels;
    }

    // What the functions may recognise as the module's own by identity: the
    // globals and library functions the masking walk uses.
    void remember_bound_originals() {
        for (const char* name : {"urlsplit", "urlunsplit", "parse_qsl", "urlencode", "_URL_IN_TEXT_RE",
                                 "_SENSITIVE_PAYLOAD_KEYS", "json"}) {
            bound_[name] = ns_[name];
        }
        bound_["json.dumps"] = ns_["json"].attr("dumps");
        bound_["json.loads"] = ns_["json"].attr("loads");
    }

    // The namespace a class statement starts with.
    py::dict class_namespace(const char* name) {
        py::dict ns;
        ns["__module__"] = name_;
        ns["__qualname__"] = py::str(name);
        return ns;
    }

    py::object make_class(const char* name, py::handle base, py::dict ns) {
        py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
        return call(type, py::str(name), py::make_tuple(base), ns);
    }

    void add_method(py::dict& ns, const char* class_name, const FunctionDeclaration& declaration) {
        std::string qualname = std::string(class_name) + "." + declaration.name;
        ns[py::str(declaration.name)] = make_function(declaration, ns_, qualname.c_str(), bound_);
    }

    // Python's __class__ cell: methods learn their class once it exists.
    static void record_defining_class(py::handle cls, py::dict ns) {
        for (auto item : ns) {
            if (is_function_object(item.second)) set_defining_class(item.second, cls);
        }
    }

    py::object make_endpoints() {
        py::dict ns = class_namespace("Endpoints");
        for (const auto& [attribute, path] : endpoint_paths) ns[attribute] = py::str(path);
        return make_class("Endpoints", reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns);
    }

    py::object make_platform_error() {
        py::dict ns = class_namespace("PlatformError");
        ns["__doc__"] = py::str(platform_error_doc);
        for (const FunctionDeclaration* declaration : platform_error_methods()) add_method(ns, "PlatformError", *declaration);
        py::object cls = make_class("PlatformError", PyExc_Exception, ns);
        record_defining_class(cls, ns);
        return cls;
    }

    py::object make_platform_client() {
        py::dict ns = class_namespace("PlatformClient");
        for (std::string_view name : client_method_order) add_method(ns, "PlatformClient", client_method_declaration(name));
        py::object cls = make_class("PlatformClient", reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns);
        record_defining_class(cls, ns);
        return cls;
    }

    py::dict ns_;
    py::str name_;
    py::dict bound_;
};

int exec_module(PyObject* module) {
    return guarded_status([&] {
        // pybind11 builds its internals on first use, which may otherwise be
        // the disposal of an error_already_set at the recursion limit, where
        // building them fails and pybind11 recurses until the stack is gone.
        py::detail::get_internals();
        ModuleBody(module).run();
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "platform_client",
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace qc

PyMODINIT_FUNC PyInit_platform_client(void) { return PyModuleDef_Init(&qc::module_definition); }

// Building a client from the host's configuration: TLS choice, the one
// session with the token and JSON Accept header, and URL joining.
#include "client/tables.hpp"
#include "core/text.hpp"

namespace qc {
namespace {

py::object init(const Call& c) {
    auto [self, config] = c.args<2>();
    py::setattr(self, "base_url"_id, getattr(config, "platform_url"_id));
    py::setattr(self, "token"_id, getattr(config, "api_token"_id));
    py::setattr(self, "verify_tls"_id, call_method(self, "_resolve_tls_verification"_id, config));
    py::setattr(self, "timeout"_id, getattr(config, "timeout"_id));
    py::setattr(self, "verbose"_id, getattr(config, "verbose"_id));
    py::setattr(self, "_last_curl"_id, py::none());
    if (truthy(getattr(config, "insecure"_id))) {
        call_method(c.global("logger"_id), "warning"_id,
                    py::str("ВНИМАНИЕ: проверка TLS-сертификата отключена (--insecure)."));
        py::object urllib3 = c.global("urllib3"_id);
        py::object warning = getattr(getattr(urllib3, "exceptions"_id), "InsecureRequestWarning"_id);
        call_method(urllib3, "disable_warnings"_id, warning);
    }
    py::setattr(self, "_session"_id, call_method(self, "_build_session"_id));
    return py::none();
}

py::object resolve_tls_verification(const Call& c) {
    py::handle config = c.arg(1);
    if (truthy(getattr(config, "insecure"_id))) return py::bool_(false);
    if (truthy(getattr(config, "ca_bundle"_id))) return getattr(config, "ca_bundle"_id);
    return py::bool_(true);
}

py::object build_session(const Call& c) {
    py::object session = call(getattr(c.global("requests"_id), "Session"_id));
    py::dict headers;
    headers["Authorization"] = getattr(c.self(), "token"_id);
    headers["Accept"] = py::str("application/json");
    call_method(getattr(session, "headers"_id), "update"_id, headers);
    return session;
}

py::object url(const Call& c) {
    auto [self, path] = c.args<2>();
    return text_of({getattr(self, "base_url"_id), path});
}

const FunctionDeclaration init_declaration{"__init__", {self_param(), param("config", "'Config'")}, no_return_annotation, no_doc,
                             &init};
const FunctionDeclaration resolve_tls_verification_declaration{
    "_resolve_tls_verification", {self_param(), param("config", "'Config'")}, "bool | str", no_doc,
    &resolve_tls_verification};
const FunctionDeclaration build_session_declaration{"_build_session", {self_param()}, "requests.Session", no_doc, &build_session};
const FunctionDeclaration url_declaration{"_url", {self_param(), param("path", "str")}, "str", no_doc, &url};

}  // namespace

const DeclarationTable& client_construction_methods() {
    static const DeclarationTable table{&init_declaration, &resolve_tls_verification_declaration, &build_session_declaration, &url_declaration};
    return table;
}

}  // namespace qc

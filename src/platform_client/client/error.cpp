// PlatformError, the one failure type, and the Russian context labels.
#include "core/raising.hpp"
#include "core/text.hpp"
#include "client/tables.hpp"

namespace qc {
namespace {

py::object platform_error_init(const Call& c) {
    auto [self, message, exit_code, http_status, context, curl, response_body] = c.args<7>();
    call_method(c.super(), "__init__"_id, message);
    py::setattr(self, "message"_id, message);
    py::setattr(self, "exit_code"_id, exit_code);
    py::setattr(self, "http_status"_id, http_status);
    py::setattr(self, "context"_id, context);
    py::setattr(self, "curl"_id, curl);
    py::setattr(self, "response_body"_id, response_body);
    return py::none();
}

py::object platform_error_str(const Call& c) {
    py::handle self = c.self();
    py::object msg = call_method(c.super(), "__str__"_id);
    py::object logger = c.global("logger"_id);
    py::object debug = getattr(c.global("logging"_id), "DEBUG"_id);
    if (!truthy(call_method(logger, "isEnabledFor"_id, debug))) return msg;

    py::list details;
    py::object context = getattr(self, "context"_id);
    if (truthy(context)) {
        py::object label = call(c.global("_format_error_context"_id), context);
        details.append(text_of({py::str("контекст: "), label}));
    }
    py::object http_status = getattr(self, "http_status"_id);
    if (truthy(http_status)) details.append(text_of({py::str("HTTP-статус: "), http_status}));
    if (!details.empty()) {
        msg = text_of({msg, py::str(" ("), py::str(", ").attr("join")(details), py::str(")")});
    }
    py::object response_body = getattr(self, "response_body"_id);
    if (truthy(response_body)) {
        py::object head = response_body[py::slice(py::none(), py::int_(500), py::none())];
        msg = text_of({msg, py::str("\nОТВЕТ ПЛАТФОРМЫ: "), head});
    }
    py::object curl = getattr(self, "curl"_id);
    if (truthy(curl)) msg = text_of({msg, py::str("\nКОМАНДА CURL: "), curl});
    return msg;
}

struct PrefixLabel {
    const char* prefix;
    const char* label;
};

constexpr PrefixLabel prefix_labels[] = {
    {"upload ", "загрузка отчёта "},
    {"search groups by name ", "поиск группы по имени "},
    {"get repository details ", "получение данных репозитория "},
    {"get engagement id ", "получение id сканирования "},
};

py::object format_error_context(const Call& c) {
    py::handle context = c.arg(0);
    py::object labels = c.global("_CONTEXT_LABELS"_id);
    int known = PySequence_Contains(labels.ptr(), context.ptr());
    if (known < 0) throw py::error_already_set();
    if (known) return labels[context];
    for (const PrefixLabel& entry : prefix_labels) {
        py::str prefix(entry.prefix);
        if (truthy(call_method(context, "startswith"_id, prefix))) {
            py::object rest = context[py::slice(py::int_(py::len(prefix)), py::none(), py::none())];
            return text_of({py::str(entry.label), rest});
        }
    }
    return py::reinterpret_borrow<py::object>(context);
}

const FunctionDeclaration format_error_context_function{
    "_format_error_context", {param("context", "str")}, "str", no_doc, &format_error_context};

const FunctionDeclaration init_declaration{
    "__init__",
    {self_param(), param("message", "str"), param("exit_code", "int"),
     param("http_status", "int", Default::integer(0)), param("context", "str | None", Default::none()),
     param("curl", "str | None", Default::none()), param("response_body", "str | None", Default::none())},
    no_return_annotation, no_doc, &platform_error_init};

const FunctionDeclaration str_declaration{"__str__", {self_param()}, "str", no_doc, &platform_error_str};

}  // namespace

const FunctionDeclaration& format_error_context_declaration() { return format_error_context_function; }

const DeclarationTable& platform_error_methods() {
    static const DeclarationTable table{&init_declaration, &str_declaration};
    return table;
}

}  // namespace qc

// Create-or-get of the run's entities: group, repository, branch, engagement.
#include "client/log_lines.hpp"
#include "operations/operation_support.hpp"
#include "core/raising.hpp"
#include "core/text.hpp"
#include "operations/tables.hpp"

namespace qc {
namespace {

py::object endpoint(const Call& c, PyObject* name) { return getattr(c.global("Endpoints"_id), name); }

py::object id_of_answer(py::handle data) {
    // An answer that is not a JSON object carries no id.
    return is_json_object(data) ? member(data, "id"_id) : py::none();
}

py::object extract_response_id(const Call& c) {
    auto [self, data, name, context, entity_label] = c.args<5>();
    py::object entity_id = id_of_answer(data);
    if (!is_usable_id(entity_id)) {
        py::str message = text_of({"Не удалось получить ID "_id, format_plain(entity_label), " '"_id,
                                    format_plain(name), "'"_id});
        raise(call(c.global("PlatformError"_id), masked(c, message), kw{"exit_code"_id, py::int_(5)},
                   kw{"context"_id, context}, kw{"curl"_id, getattr(self, "_last_curl"_id)}));
    }
    log_debug(c, text_of({"ID "_id, format_plain(entity_label), ": "_id, format_plain(entity_id)}));
    return py::str(entity_id);
}

py::object log_upsert_status(const Call& c) {
    auto [self, name, noun, response, created_word, found_word] = c.args<6>();
    bool created = equal(getattr(response, "status_code"_id), py::int_(201));
    py::handle status = created ? created_word : found_word;
    log_info(c, text_of({noun, " '"_id, name, "' "_id, status, "."_id}));
    return py::none();
}

py::object create_or_get_entity_id(const Call& c) {
    auto [self, path, payload, context, name, noun, created_word, found_word, entity_label] = c.args<9>();
    py::object response = call_method(self, "_post_form_response"_id, path, payload, context);
    py::object data = call_method(self, "_handle_response"_id, response, kw{"context"_id, context});
    call_method(self, "_log_upsert_status"_id, kw{"name"_id, name}, kw{"noun"_id, noun},
                kw{"response"_id, response}, kw{"created_word"_id, created_word},
                kw{"found_word"_id, found_word});
    return call_method(self, "_extract_response_id"_id, data, kw{"name"_id, name}, kw{"context"_id, context},
                       kw{"entity_label"_id, entity_label});
}

// The wording of one kind of entity in its context, log line and error.
struct EntityWords {
    PyObject* endpoint;
    PyObject* context;
    PyObject* noun;
    PyObject* created_word;
    PyObject* found_word;
    PyObject* entity_label;
};

py::object upsert(const Call& c, const EntityWords& words, py::handle name, py::dict payload) {
    return call_method(c.self(), "_create_or_get_entity_id"_id, kw{"path"_id, endpoint(c, words.endpoint)},
                       kw{"payload"_id, payload}, kw{"context"_id, words.context}, kw{"name"_id, name},
                       kw{"noun"_id, words.noun}, kw{"created_word"_id, words.created_word},
                       kw{"found_word"_id, words.found_word}, kw{"entity_label"_id, words.entity_label});
}

// {"name": name, parent_key: parent_id, "web_url": web_url if truthy}
py::dict named_payload(py::handle name, PyObject* parent_key, py::handle parent_id, py::handle web_url) {
    py::dict payload;
    payload[py::handle("name"_id)] = name;
    payload[py::handle(parent_key)] = parent_id;
    if (truthy(web_url)) payload[py::handle("web_url"_id)] = web_url;
    return payload;
}

py::object create_or_get_repository(const Call& c) {
    auto [self, name, group_id, web_url] = c.args<4>();
    static const EntityWords words{"REPO"_id,  "create repository"_id, "Репозиторий"_id,
                                   "создан"_id, "найден"_id,           "репозитория"_id};
    return upsert(c, words, name, named_payload(name, "repository_group_id"_id, group_id, web_url));
}

py::object create_or_get_branch(const Call& c) {
    auto [self, name, repository_id, web_url] = c.args<4>();
    static const EntityWords words{"BRANCH"_id,  "create branch"_id, "Ветка"_id,
                                   "создана"_id, "найдена"_id,       "ветки"_id};
    return upsert(c, words, name, named_payload(name, "repository_id"_id, repository_id, web_url));
}

py::object create_or_get_engagement(const Call& c) {
    auto [self, name, branch_id, description] = c.args<4>();
    static const EntityWords words{"ENGAGEMENT"_id, "create engagement"_id, "Сканирование"_id,
                                   "создано"_id,    "найдено"_id,           "сканирования"_id};
    py::dict payload;
    payload[py::handle("name"_id)] = name;
    payload[py::handle("branch_id"_id)] = branch_id;
    payload[py::handle("description"_id)] = description;
    return upsert(c, words, name, payload);
}

// The first group record of integration type "api" (any case), or None.
py::object first_api_group(py::handle groups) {
    for (py::handle group : py::iter(groups)) {
        if (!is_json_object(group)) continue;
        py::object type = string_member(group, "integration_type"_id);
        if (type.is_none()) continue;
        if (equal(call_method(type, "lower"_id), "api"_id)) return py::reinterpret_borrow<py::object>(group);
    }
    return py::none();
}

py::object create_or_get_group(const Call& c) {
    auto [self, name, web_url] = c.args<3>();
    py::handle context = "create group"_id;
    py::dict payload;
    payload[py::handle("name"_id)] = name;
    if (truthy(web_url)) payload[py::handle("web_url"_id)] = web_url;

    py::object resp = call_method(self, "_post_form_response"_id, endpoint(c, "GROUP"_id), payload, context);
    py::object data = call_method(self, "_handle_response"_id, resp, kw{"context"_id, context});
    call_method(self, "_log_upsert_status"_id, kw{"name"_id, name}, kw{"noun"_id, "Группа репозитория"_id},
                kw{"response"_id, resp}, kw{"created_word"_id, "создана"_id}, kw{"found_word"_id, "найдена"_id});

    py::object group_id = id_of_answer(data);
    if (is_usable_id(group_id)) {
        log_debug(c, text_of({"ID группы (из ответа): "_id, format_plain(group_id)}));
        return py::str(group_id);
    }

    // The platform may answer without an id: recover it by searching.
    log_debug(c, text_of({"Получение ID группы '"_id, format_plain(name), "' через поиск..."_id}));
    py::object groups = call_method(self, "find_groups"_id, name, web_url, kw{"integration_type"_id, "API"_id});
    py::object api_group = first_api_group(groups);
    group_id = api_group.is_none() ? py::none() : member(api_group, "id"_id);
    if (!is_usable_id(group_id)) {
        py::str message = text_of({"Не удалось получить ID группы '"_id, format_plain(name), "'"_id});
        py::object curl = getattr(self, "_last_curl"_id);
        py::object body = truthy(groups) ? call_method(self, "_format_payload_for_log"_id, groups)
                                         : py::reinterpret_borrow<py::object>("Пустой список или другой формат"_id);
        raise(call(c.global("PlatformError"_id), masked(c, message), kw{"exit_code"_id, py::int_(5)},
                   kw{"context"_id, "find group after create"_id}, kw{"curl"_id, curl}, kw{"response_body"_id, body}));
    }
    log_debug(c, text_of({"ID группы: "_id, format_plain(group_id)}));
    return py::str(group_id);
}

py::object get_engagement_id(const Call& c) {
    auto [self, name, branch_id] = c.args<3>();
    py::dict params;
    params[py::handle("name"_id)] = name;
    params[py::handle("branch_id"_id)] = branch_id;
    py::object context = masked(c, text_of({"get engagement id '"_id, name, "' for branch "_id, branch_id}));
    py::object response = call_method(self, "get"_id, endpoint(c, "ENGAGEMENT"_id), kw{"params"_id, params},
                                       kw{"context"_id, context});
    return call_method(self, "_extract_response_id"_id, response, kw{"name"_id, name},
                       kw{"context"_id, "get engagement id"_id}, kw{"entity_label"_id, "сканирования"_id});
}


const FunctionDeclaration extract_response_id_declaration{
    "_extract_response_id",
    {self_param(), param("data", "dict"), keyword_only("name", "str"), keyword_only("context", "str"),
     keyword_only("entity_label", "str")},
    "str", no_doc, &extract_response_id};
const FunctionDeclaration log_upsert_status_declaration{
    "_log_upsert_status",
    {self_param(), keyword_only("name", "str"), keyword_only("noun", "str"),
     keyword_only("response", "requests.Response"), keyword_only("created_word", "str"),
     keyword_only("found_word", "str")},
    "None", no_doc, &log_upsert_status};
const FunctionDeclaration create_or_get_entity_id_declaration{
    "_create_or_get_entity_id",
    {self_param(), keyword_only("path", "str"), keyword_only("payload", "dict"), keyword_only("context", "str"),
     keyword_only("name", "str"), keyword_only("noun", "str"), keyword_only("created_word", "str"),
     keyword_only("found_word", "str"), keyword_only("entity_label", "str")},
    "str", no_doc, &create_or_get_entity_id};
const FunctionDeclaration create_or_get_group_declaration{
    "create_or_get_group", {self_param(), param("name", "str"), param("web_url", "str | None")}, "str", no_doc,
    &create_or_get_group};
const FunctionDeclaration create_or_get_repository_declaration{
    "create_or_get_repository",
    {self_param(), param("name", "str"), param("group_id", "str"), param("web_url", "str | None")}, "str",
    no_doc, &create_or_get_repository};
const FunctionDeclaration create_or_get_branch_declaration{
    "create_or_get_branch",
    {self_param(), param("name", "str"), param("repository_id", "str"), param("web_url", "str | None")}, "str",
    no_doc, &create_or_get_branch};
const FunctionDeclaration create_or_get_engagement_declaration{
    "create_or_get_engagement",
    {self_param(), param("name", "str"), param("branch_id", "str"),
     param("description", "str", Default::str(""))},
    "str", no_doc, &create_or_get_engagement};
const FunctionDeclaration get_engagement_id_declaration{
    "get_engagement_id", {self_param(), param("name", "str"), param("branch_id", "str")}, "str", no_doc,
    &get_engagement_id};

}  // namespace

const DeclarationTable& entity_upsert_methods() {
    static const DeclarationTable table{
        &extract_response_id_declaration,     &log_upsert_status_declaration,         &create_or_get_entity_id_declaration,
        &create_or_get_group_declaration,     &create_or_get_repository_declaration,  &create_or_get_branch_declaration,
        &create_or_get_engagement_declaration, &get_engagement_id_declaration};
    return table;
}

}  // namespace qc

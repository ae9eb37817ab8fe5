// Repository group search with the platform's matching rules, and
// repository details.
#include "client/log_lines.hpp"
#include "core/handled_exception.hpp"
#include "operations/operation_support.hpp"
#include "core/raising.hpp"
#include "core/text.hpp"
#include "operations/tables.hpp"

namespace qc {
namespace {

// The record's integration type, lower-cased; a missing or non-string one is "".
py::object lowered_type(py::handle group) {
    py::object type = string_member(group, "integration_type"_id);
    if (type.is_none()) return py::str("");
    return call_method(type, "lower"_id);
}

py::object filter_groups(const Call& c) {
    auto [self, groups, name, web_url, integration_type] = c.args<5>();

    // Records that are not objects, and names that are not strings, never match.
    py::list selected;
    for (py::handle group : py::iter(groups)) {
        if (!is_json_object(group)) continue;
        py::object group_name = string_member(group, "name"_id);
        if (!group_name.is_none() && equal(group_name, name)) selected.append(group);
    }

    if (truthy(integration_type)) {
        py::object target_type = call_method(integration_type, "lower"_id);
        py::list typed;
        for (py::handle group : selected) {
            if (equal(lowered_type(group), target_type)) typed.append(group);
        }
        selected = std::move(typed);
    }

    if (!truthy(web_url)) return selected;

    py::str slash("/");
    py::object target_url = call_method(web_url, "rstrip"_id, slash);
    py::list url_matched;
    py::list manual_matched;
    for (py::handle group : selected) {
        py::object group_url = string_member(group, "web_url"_id);
        if (!group_url.is_none()) group_url = call_method(group_url, "rstrip"_id, slash);
        if (!group_url.is_none() && truthy(group_url)) {
            // The group's URL may be an ancestor path of the target, ending at a "/".
            if (equal(target_url, group_url) ||
                truthy(call_method(target_url, "startswith"_id, text_of({group_url, slash})))) {
                url_matched.append(group);
            }
        } else if (equal(lowered_type(group), "manual"_id)) {
            manual_matched.append(group);
        }
    }
    return url_matched.empty() ? std::move(manual_matched) : std::move(url_matched);
}

py::object find_groups(const Call& c) {
    auto [self, name, web_url, repo_name, branch_name, engagement_name, integration_type, include_target_params] =
        c.args<8>();
    py::object path = getattr(c.global("Endpoints"_id), "GROUPS_LIST"_id);
    py::dict params;
    params[py::handle("search"_id)] = name;
    py::object context = masked(c, text_of({"search groups by name '"_id, name, "'"_id}));
    py::object resp = call_method(self, "get"_id, path, kw{"params"_id, params}, kw{"context"_id, context});

    // Anything but a list under "repository_groups" (or an answer that is not
    // an object) holds no groups.
    py::object groups = py::list();
    if (is_json_object(resp)) {
        py::object listed = member(resp, "repository_groups"_id);
        if (PyList_Check(listed.ptr())) groups = listed;
    }
    return call_method(self, "_filter_groups"_id, groups, kw{"name"_id, name}, kw{"web_url"_id, web_url},
                       kw{"integration_type"_id, integration_type});
}

py::object get_repository_details(const Call& c) {
    auto [self, repo_id, repository_name, group_id] = c.args<4>();
    py::dict params;
    py::str context_suffix;
    if (truthy(repo_id)) {
        params[py::handle("repository_id"_id)] = repo_id;
        context_suffix = py::str(repo_id);
    } else if (truthy(repository_name) && truthy(group_id)) {
        params[py::handle("repository_name"_id)] = repository_name;
        params[py::handle("repository_group_id"_id)] = group_id;
        context_suffix = text_of({format_plain(repository_name), " in group "_id, format_plain(group_id)});
    } else {
        raise(call(c.global("PlatformError"_id),
                   "Для поиска репозитория нужен repository_id или repository_name вместе с repository_group_id."_id,
                   kw{"exit_code"_id, py::int_(1)}));
    }

    py::object path = getattr(c.global("Endpoints"_id), "REPO_DETAIL"_id);
    py::object context = masked(c, text_of({"get repository details "_id, context_suffix}));
    try {
        return call_method(self, "get"_id, path, kw{"params"_id, params}, kw{"context"_id, context});
    } catch (py::error_already_set& e) {
        HandlingScope handling(e);
        py::object platform_error = c.global("PlatformError"_id);
        if (!matches(e, platform_error)) throw;
        if (!equal(getattr(e.value(), "exit_code"_id), py::int_(2))) throw;
        py::object replacement = call(platform_error,
                                      "API-токен не имеет доступа к деталям репозитория. Убедитесь, что токен "
                                      "выдан с правами на просмотр репозиториев."_id,
                                      kw{"exit_code"_id, py::int_(2)}, kw{"context"_id, context});
        raise_from(replacement, e.value(), e.value());
    }
}


const FunctionDeclaration filter_groups_declaration{
    "_filter_groups",
    {self_param(), param("groups", "list"), keyword_only("name", "str"), keyword_only("web_url", "str | None"),
     keyword_only("integration_type", "str | None")},
    "list", no_doc, &filter_groups};
const FunctionDeclaration find_groups_declaration{
    "find_groups",
    {self_param(), param("name", "str"), param("web_url", "str | None", Default::none()),
     param("repo_name", "str | None", Default::none()), param("branch_name", "str | None", Default::none()),
     param("engagement_name", "str | None", Default::none()),
     param("integration_type", "str | None", Default::none()),
     param("include_target_params", "bool", Default::boolean(false))},
    "list",
    "\n"
    "        Найти группы репозиториев по имени и другим параметрам идентификации.\n"
    "\n"
    "        Использует GET /api/v1/git/ci-cd/repository_groups_agent.\n"
    "        ",
    &find_groups};
const FunctionDeclaration get_repository_details_declaration{
    "get_repository_details",
    {self_param(), param("repo_id", "str | None", Default::none()),
     keyword_only("repository_name", "str | None", Default::none()),
     keyword_only("group_id", "str | None", Default::none())},
    "dict", "Получить детали репозитория, включая integration_type и список веток.", &get_repository_details};

}  // namespace

const DeclarationTable& group_search_methods() {
    static const DeclarationTable table{&filter_groups_declaration, &find_groups_declaration, &get_repository_details_declaration};
    return table;
}

}  // namespace qc

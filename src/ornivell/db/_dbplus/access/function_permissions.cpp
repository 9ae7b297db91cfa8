#include "access/function_permissions.h"

#include <string>

#include "dbplus.h"
#include "host/call.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "metadata/cache.h"
#include "metadata/model_info.h"
#include "names.h"
#include "perm_check_result.h"
#include "result_pair.h"

namespace dbplus {

namespace {

OwnMethod acl_model_method("acl_model");
OwnMethod acl_func_cond_method("_acl_func_cond");
OwnMethod acl_func_result_method("_acl_func_result");
OwnMethod acl_func_method("acl_func");
OwnMethod check_perm_method("check_perm");

constexpr const char* acl_func_head =
    "\n        select distinct s.resource, s.type, a.funcKey, "
    "\n        a.id as \"funcId\", a.resourceId from"
    "\n            _acl_func a,"
    "\n            _resource s,"
    "\n            _user_role ur,"
    "\n            _role_acl_func rf"
    "\n        where"
    "\n            ";
constexpr const char* acl_func_tail =
    "\n            a.resourceId = s.id"
    "\n            and ur.userId = :uid"
    "\n            and ur.roleId = rf.roleId "
    "\n            and rf.aclFuncId = a.id"
    "\n        ";

py::str acl_func_cond(py::handle resource_type, py::handle resource) {
    std::string cond;
    if (truthy(resource_type)) cond = "s.type = :resource_type";
    if (truthy(resource)) cond += cond.empty() ? "s.resource = :resource" : " and s.resource = :resource";
    if (!cond.empty()) cond += " and ";
    return to_str(cond);
}

py::list acl_func_result(py::handle acl) {
    py::list groups;
    py::dict by_resource;
    for (py::handle row : acl) {
        py::object resource_id = attr(row, names::resourceId);
        py::object group = get(by_resource, resource_id);
        if (!truthy(group)) {
            py::dict fresh;
            fresh[names::resource] = attr(row, names::resource);
            fresh[names::type] = attr(row, names::type);
            fresh[names::resourceId] = resource_id;
            fresh[names::ops] = py::list();
            by_resource[resource_id] = fresh;
            groups.append(fresh);
            group = std::move(fresh);
        }
        py::dict op;
        op[names::funcKey] = attr(row, names::funcKey);
        op[names::funcId] = attr(row, names::funcId);
        append(item(group, names::ops), op);
    }
    return groups;
}

// A false filter value contributes an empty part to the cache key.
void append_key_part(std::string& key, py::handle value) {
    key += "/";
    if (truthy(value)) append_text(key, value);
}

py::object acl_func(py::handle self, py::handle uid, py::handle resource_type, py::handle resource,
                    py::handle session) {
    std::string key_text = "/acl_func/";
    append_text(key_text, uid);
    append_key_part(key_text, resource_type);
    append_key_part(key_text, resource);
    py::str key = to_str(key_text);
    CachedLoad load(self, key);
    if (!load.cached().is_none()) return load.cached();

    py::object cond = acl_func_cond_method.call(
        self, [&] { return py::object(acl_func_cond(resource_type, resource)); },
        py::arg("resource_type") = resource_type, py::arg("resource") = resource);
    std::string sql = acl_func_head;
    sql += utf8(cond);
    sql += acl_func_tail;
    py::object rows = Call(attr(handle_of(self), names::query))
                          .keyword(names::resource_type, resource_type)
                          .keyword(names::resource, resource)
                          .keyword(names::uid, uid)
                          .keyword(names::session, session)
                          .run({to_str(sql)});
    py::object groups = acl_func_result_method.call(self, [&] { return py::object(acl_func_result(rows)); }, rows);
    load.store(groups);
    return groups;
}

py::object acl_model(py::handle self, py::handle uid, py::handle model, py::handle session) {
    py::handle model_type = names::model;
    py::object groups = acl_func_method.call(
        self, [&] { return acl_func(self, uid, model_type, model, session); }, uid,
        py::arg("resource_type") = model_type, py::arg("resource") = model, py::arg("session") = session);
    if (!truthy(groups)) return py::none();
    py::dict operations;
    py::int_ granted(1);
    for (py::handle op : item(groups[py::int_(0)], names::ops)) operations[item(op, names::funcKey)] = granted;
    return std::move(operations);
}

py::object check_perm(py::handle self, py::handle user, py::handle model, py::handle op_key, py::handle op_name,
                      py::handle session) {
    py::object result = new_perm_check_result();
    py::object info = call_model_info(self, model, user, session);
    if (info.is_none()) {
        set_attr(result, names::message, message_payload(text_of(model) + "不存在"));
        set_attr(result, names::status, py::int_(404));
        return result;
    }
    set_attr(result, names::info, info);
    py::object model_name = item(attr(info, names::model), names::displayName);
    py::object uid = attr(user, names::id);
    py::object acl = acl_model_method.call(
        self, [&] { return acl_model(self, uid, model, session); }, uid, model, py::arg("session") = session);
    if (!truthy(acl) || !truthy(get(acl, op_key))) {
        set_attr(result, names::message, message_payload("无权限" + text_of(op_name) + ": " + text_of(model_name)));
        set_attr(result, names::status, py::int_(403));
        return result;
    }
    set_attr(result, names::acl, acl);
    set_attr(result, names::status, py::int_(200));
    return result;
}

py::object check_perm_ext(py::handle self, py::handle user, py::handle func, py::handle func_name,
                          py::handle session) {
    py::object result = new_perm_check_result();
    py::object uid = attr(user, names::id);
    py::object groups = acl_func_method.call(
        self, [&] { return acl_func(self, uid, py::none(), func, session); }, uid, py::arg("resource") = func,
        py::arg("session") = session);
    if (!truthy(groups)) {
        set_attr(result, names::message, message_payload("无权限: " + text_of(func_name)));
        set_attr(result, names::status, py::int_(403));
        return result;
    }
    set_attr(result, names::acl, groups);
    set_attr(result, names::status, py::int_(200));
    return result;
}

}  // namespace

py::object call_check_perm(py::handle self, py::handle user, py::handle model, const char* op_key,
                           const char* op_name) {
    py::handle key = literal_str(op_key);
    py::handle name = literal_str(op_name);
    return check_perm_method.call(self, [&] { return check_perm(self, user, model, key, name, py::none()); }, user,
                                  model, key, name);
}

py::object call_check_perm(py::handle self, py::handle user, py::handle model, const char* op_key,
                           const char* op_name, py::handle session) {
    py::handle key = literal_str(op_key);
    py::handle name = literal_str(op_name);
    return check_perm_method.call(self, [&] { return check_perm(self, user, model, key, name, session); }, user,
                                  model, key, name, py::arg("session") = session);
}

py::object call_acl_model(py::handle self, py::handle uid, py::handle model) {
    return acl_model_method.call(self, [&] { return acl_model(self, uid, model, py::none()); }, uid, model);
}

void bind_function_permissions(ClassBuilder& dbplus) {
    py::arg_v no_session = py::arg("session") = py::none();
    dbplus.method(acl_model_method, &acl_model, py::arg("uid"), py::arg("model"), no_session);
    dbplus.static_method(acl_func_cond_method, &acl_func_cond, py::arg("resource_type") = py::none(),
                         py::arg("resource") = py::none());
    dbplus.static_method(acl_func_result_method, &acl_func_result, py::arg("acl"));
    dbplus.method(acl_func_method, &acl_func, py::arg("uid"), py::arg("resource_type") = py::none(),
                  py::arg("resource") = py::none(), no_session);
    dbplus.method(check_perm_method, &check_perm, py::arg("user"), py::arg("model"), py::arg("op_key"),
                  py::arg("op_name"), no_session);
    dbplus.method("check_perm_ext", &check_perm_ext, py::arg("user"), py::arg("func"), py::arg("func_name"),
                  no_session);
}

}  // namespace dbplus

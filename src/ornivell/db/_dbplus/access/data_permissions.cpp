#include "access/data_permissions.h"

#include <string>

#include "dbplus.h"
#include "host/call.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "metadata/cache.h"
#include "names.h"

namespace dbplus {

namespace {

OwnMethod acl_data_method("acl_data");
OwnMethod acl_prop_method("acl_prop");

constexpr const char* acl_data_head =
    "\n        select distinct a.cond, a.join, a.model, a.name, a.order"
    "\n            from _acl_data a, _user_role ur, _role_acl_data rd"
    "\n        where"
    "\n            ";
constexpr const char* acl_data_model_cond = "a.model = :model and ";
constexpr const char* acl_data_tail =
    "\n            ur.userId = :uid "
    "\n            and ur.roleId = rd.roleId"
    "\n            and rd.aclDataId = a.id"
    "\n        ";

constexpr const char* acl_prop_sql =
    "\n        SELECT"
    "\n            _prop.model,"
    "\n            _prop.name"
    "\n        FROM"
    "\n            _prop"
    "\n        JOIN _role_prop ON _role_prop.propId = _prop.id"
    "\n        JOIN _user_role ur ON ur.roleId = _role_prop.roleId"
    "\n        AND _role_prop.roleId = ur.roleId AND ur.userId = :uid"
    "\n        WHERE"
    "\n             _prop.model = :model"
    "\n        ";

// "<prefix><uid>/<model>", each part formatted as text
py::str cache_key(const char* prefix, py::handle uid, py::handle model) {
    std::string key = prefix;
    append_text(key, uid);
    key += "/";
    append_text(key, model);
    return to_str(key);
}

py::object acl_data(py::handle self, py::handle uid, py::handle model, py::handle session) {
    py::str key = cache_key("/acl_data/", uid, model);
    CachedLoad load(self, key);
    if (!load.cached().is_none()) return load.cached();
    std::string sql = acl_data_head;
    if (truthy(model)) sql += acl_data_model_cond;
    sql += acl_data_tail;
    py::object rows = Call(attr(handle_of(self), names::query))
                          .keyword(names::model, model)
                          .keyword(names::uid, uid)
                          .keyword(names::session, session)
                          .run({to_str(sql)});
    load.store(rows);
    return rows;
}

py::object acl_prop(py::handle self, py::handle uid, py::handle model, py::handle session) {
    py::str key = cache_key("/acl_prop/", uid, model);
    CachedLoad load(self, key);
    if (!load.cached().is_none()) return load.cached();
    static py::handle sql = permanent_str(acl_prop_sql);
    py::object rows = Call(attr(handle_of(self), names::query))
                          .keyword(names::uid, uid)
                          .keyword(names::model, model)
                          .keyword(names::session, session)
                          .run({sql});
    py::set hidden;
    for (py::handle row : rows) hidden.add(item(row, names::name));
    load.store(hidden);
    return std::move(hidden);
}

}  // namespace

py::object call_acl_data(py::handle self, py::handle uid, py::handle model) {
    return acl_data_method.call(self, [&] { return acl_data(self, uid, model, py::none()); }, uid, model);
}

py::object call_acl_prop(py::handle self, py::handle uid, py::handle model) {
    return acl_prop_method.call(self, [&] { return acl_prop(self, uid, model, py::none()); }, uid, model);
}

void bind_data_permissions(ClassBuilder& dbplus) {
    dbplus.method(acl_data_method, &acl_data, py::arg("uid"), py::arg("model"), py::arg("session") = py::none());
    dbplus.method(acl_prop_method, &acl_prop, py::arg("uid"), py::arg("model"), py::arg("session") = py::none());
}

}  // namespace dbplus

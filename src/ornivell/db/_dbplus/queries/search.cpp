#include "queries/search.h"

#include <vector>

#include "access/function_permissions.h"
#include "dbplus.h"
#include "host/call.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"
#include "result_pair.h"
#include "sql/statement.h"

namespace dbplus {

namespace {

OwnMethod limit_method("_limit");
OwnMethod search_method("search");

// The permission check and the statement every search starts with. False,
// with `failure` set to the pair to return, when the search cannot go on.
bool prepare(py::handle self, py::handle user, py::handle entity, py::handle args, py::handle extra_conds,
             py::handle extra_params, py::object& statement, py::object& failure) {
    py::object check = call_check_perm(self, user, entity, "queryEnabled", "查询");
    py::object status = attr(check, names::status);
    if (!is_ok(status)) {
        failure = result_pair(attr(check, names::message), status);
        return false;
    }
    std::vector<py::object> built =
        unpack(call_build_sql(self, user, entity, args, extra_conds, extra_params), 2);
    if (!is_ok(built[1])) {
        failure = result_pair(built[0], built[1]);
        return false;
    }
    // a selection that names no visible property would make a SELECT without columns
    if (py::len(attr(built[0], names::columns)) == 0) {
        failure = result_pair(message_payload(text_of(entity) + "无任何模型属性列可查询"), 404);
        return false;
    }
    statement = built[0];
    return true;
}

// int() of an infinite number overflows: a client's limit, refused as any other bad one.
[[noreturn]] void refuse_unconvertible_limit(py::handle requested) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        PyErr_SetObject(PyExc_ValueError, to_str("limit must be a whole number, not " + text_of(requested)).ptr());
    }
    throw py::error_already_set();
}

py::object limit(py::handle, py::handle args) {
    py::object requested = get(args, names::limit);
    if (requested.is_none()) return py::int_(10);
    PyObject* converted = PyNumber_Long(requested.ptr());
    if (!converted) refuse_unconvertible_limit(requested);
    py::object size = py::reinterpret_steal<py::object>(converted);
    py::int_ ceiling(max_page_size);
    return size > ceiling ? py::object(ceiling) : size;
}

py::object call_limit(py::handle self, py::handle args) {
    return limit_method.call(self, [&] { return limit(self, args); }, args);
}

py::object search(py::handle self, py::handle user, py::handle entity, py::handle args, py::handle extra_conds,
                  py::handle extra_params, py::handle session) {
    py::object statement, failure;
    if (!prepare(self, user, entity, args, extra_conds, extra_params, statement, failure)) return failure;
    py::object sql = call_method(statement, names::to_sql);
    py::object page = get(args, names::page);
    py::object page_result = Call(attr(handle_of(self), names::query_page))
                                 .keyword(names::page, truthy(page) ? page : py::int_(1))
                                 .keyword(names::limit, call_limit(self, args))
                                 .keyword(names::do_count, get(args, names::doCount))
                                 .expand(attr(statement, names::params))
                                 .keyword(names::session, session)
                                 .run({sql});
    return result_pair(page_result, 200);
}

py::object search_all(py::handle self, py::handle user, py::handle entity, py::handle args,
                      py::handle extra_conds, py::handle extra_params, py::handle session) {
    set_item(args, names::limit, py::int_(1000));
    set_item(args, names::doCount, py::int_(0));
    py::object found = search_method.call(
        self, [&] { return search(self, user, entity, args, extra_conds, extra_params, session); }, user, entity,
        py::arg("args") = args, py::arg("extra_conds") = extra_conds, py::arg("extra_params") = extra_params,
        py::arg("session") = session);
    std::vector<py::object> pair = unpack(found, 2);
    if (!is_ok(pair[1])) return result_pair(pair[0], pair[1]);
    return result_pair(attr(pair[0], names::data), pair[1]);
}

py::object search_one(py::handle self, py::handle user, py::handle entity, py::handle args,
                      py::handle extra_conds, py::handle extra_params, py::handle session) {
    py::object statement, failure;
    if (!prepare(self, user, entity, args, extra_conds, extra_params, statement, failure)) return failure;
    py::object sql = call_method(statement, names::to_sql);
    py::object row = Call(attr(handle_of(self), names::query_one))
                         .expand(attr(statement, names::params))
                         .keyword(names::session, session)
                         .run({sql});
    return result_pair(row, 200);
}

}  // namespace

py::object call_search(py::handle self, py::handle user, py::handle entity, py::handle args, py::handle extra_conds,
                       py::handle extra_params, py::handle session) {
    return search_method.call(
        self, [&] { return search(self, user, entity, args, extra_conds, extra_params, session); }, user, entity,
        args, py::arg("extra_conds") = extra_conds, py::arg("extra_params") = extra_params,
        py::arg("session") = session);
}

void bind_search(ClassBuilder& dbplus) {
    // each method gets default containers of its own, made once and shared
    // by its calls, as a Python signature makes them
    auto bind = [&](auto& own_or_name, auto function) {
        dbplus.method(own_or_name, function, py::arg("user"), py::arg("entity"), py::arg("args") = py::dict(),
                      py::arg("extra_conds") = py::list(), py::arg("extra_params") = py::dict(),
                      py::arg("session") = py::none());
    };
    bind("search_one", &search_one);
    bind("search_all", &search_all);
    dbplus.method(limit_method, &limit, py::arg("args"));
    bind(search_method, &search);
}

}  // namespace dbplus

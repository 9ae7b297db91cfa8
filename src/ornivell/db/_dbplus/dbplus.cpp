#include "dbplus.h"

#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"

namespace dbplus {

namespace {

OwnMethod escape_method("escape");
OwnMethod in_clause_method("in_clause");

py::object call(py::handle function, std::initializer_list<py::handle> args) {
    py::tuple arguments(args.size());
    size_t index = 0;
    for (py::handle arg : args) arguments[index++] = arg;
    PyObject* result = PyObject_Call(function.ptr(), arguments.ptr(), nullptr);
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// self.db.<operation>(*args)
py::object delegate(py::handle self, PyObject* operation, std::initializer_list<py::handle> args) {
    return call(attr(handle_of(self), operation), args);
}

// __init__(self, db)
PyObject* init(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* self = nullptr;
    PyObject* db = nullptr;
    static const char* keywords[] = {"self", "db", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:__init__", const_cast<char**>(keywords), &self, &db)) {
        return nullptr;
    }
    try {
        set_attr(self, names::db, db);
        set_attr(self, names::cache, py::dict());
        set_attr(self, names::cache_enabled, py::bool_(true));
    } catch (py::error_already_set& error) {
        error.restore();
        return nullptr;
    }
    Py_RETURN_NONE;
}

py::object escape(py::handle self, py::handle key) { return delegate(self, names::escape, {key}); }

py::object in_clause(py::handle self, py::handle key, py::handle values) {
    return delegate(self, names::in_clause, {key, values});
}

}  // namespace

py::object handle_of(py::handle self) { return attr(self, names::db); }

py::object call_in_clause(py::handle self, py::handle key, py::handle values) {
    return in_clause_method.call(self, [&] { return in_clause(self, key, values); }, key, values);
}

Escaper::Escaper(py::handle self) {
    own_ = escape_method.own_on(self);
    if (!own_) {
        py::object found = escape_method.lookup(self);
        own_ = escape_method.is_own(found, self);
        if (!own_) escape_ = std::move(found);
    }
    // the handle's escape, looked up once instead of on every name
    if (own_) escape_ = attr(handle_of(self), names::escape);
}

py::object Escaper::operator()(py::handle name) const {
    PyObject* result = PyObject_CallOneArg(escape_.ptr(), name.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

std::string Escaper::text(py::handle name) const { return text_of((*this)(name)); }

void bind_dbplus_utilities(ClassBuilder& dbplus) {
    dbplus.c_method("__init__", &init, py::none());
    dbplus.method(escape_method, &escape, py::arg("key"));
    dbplus.method("sql_page",
                  [](py::handle self, py::handle sql, py::handle page, py::handle limit) {
                      return delegate(self, names::sql_page, {sql, page, limit});
                  },
                  py::arg("sql"), py::arg("page"), py::arg("limit"));
    dbplus.method("sql_count", [](py::handle self, py::handle sql) { return delegate(self, names::sql_count, {sql}); },
                  py::arg("sql"));
    dbplus.method("is_mssql", [](py::handle self) { return delegate(self, names::is_mssql, {}); });
    dbplus.method(in_clause_method, &in_clause, py::arg("key"), py::arg("param_array"));
    dbplus.method("session", [](py::handle self) { return delegate(self, names::session, {}); });
}

}  // namespace dbplus

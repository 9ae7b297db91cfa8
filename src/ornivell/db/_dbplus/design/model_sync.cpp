#include "design/model_sync.h"

#include "dbplus.h"
#include "design/table_columns.h"
#include "host/call.h"
#include "host/module_globals.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "host/with_statement.h"
#include "metadata/version.h"
#include "names.h"
#include "result_pair.h"

namespace dbplus {

namespace {

OwnMethod generate_columns_method("generate_columns");
OwnMethod generate_columns_in_session_method("_generate_columns");

py::object generate_columns_in_session(py::handle self, py::handle model, py::handle info, py::handle s) {
    py::object main_table = attr(info, names::main_table);
    py::object columns = item(attr(info, names::model), names::columns);
    call_generate_table_columns(self, s, model, main_table, columns, py::none(), true, info);
    for (py::handle table : attr(info, names::join_tables)) {
        py::object t = get(attr(info, names::tables), item(table, names::table));
        if (t.is_none()) continue;
        py::object alias = item(table, names::alias);
        if (!truthy(alias)) alias = attr(t, names::name);
        call_generate_table_columns(self, s, model, t, item(table, names::columns), alias, false, info);
    }
    return py::none();
}

py::object call_generate_columns_in_session(py::handle self, py::handle model, py::handle info, py::handle s) {
    return generate_columns_in_session_method.call(
        self, [&] { return generate_columns_in_session(self, model, info, s); }, model, info, s);
}

// All rows of one model are written in one session (the caller's, or one
// opened here), which first moves the metadata version: before the writes,
// as on MariaDB a version table made on first use ends the transaction.
py::object generate_columns(py::handle self, py::handle model, py::handle info, py::handle session) {
    auto run = [&](py::handle s) {
        move_metadata_version(self, s);
        return call_generate_columns_in_session(self, model, info, s);
    };
    if (truthy(session)) return run(session);
    return with_statement(attr(handle_of(self), names::session)(), run);
}

// The handle forgets its table definitions and reads them again. A failure
// is logged and the sync goes on with whatever definitions the handle has.
void reread_tables(py::handle self) {
    try {
        py::object db = handle_of(self);
        set_attr(db, names::tables, py::dict());
        Call(attr(db, names::reflect)).keyword(names::extend_existing, py::bool_(true)).run();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        attr(module_global(names::log), names::warning)(py::str(error.value()));
    }
}

py::object sync_model(py::handle self, py::handle model, py::handle session) {
    reread_tables(self);
    // every cached ModelInfo holds table objects of the earlier reading
    call_method(self, names::clear_cache);
    py::object info = Call(attr(self, names::model_info)).keyword(names::session, session).run({model});
    if (!truthy(info)) return result_pair(message_payload("Model(" + text_of(model) + ") Not Found"), 404);
    generate_columns_method.call(
        self, [&] { return generate_columns(self, model, info, session); }, model, info,
        py::arg("session") = session);
    return result_pair(message_payload("success"), 200);
}

}  // namespace

void bind_model_sync(ClassBuilder& dbplus) {
    dbplus.method(generate_columns_method, &generate_columns, py::arg("model"), py::arg("info"),
                  py::arg("session") = py::none());
    dbplus.method(generate_columns_in_session_method, &generate_columns_in_session, py::arg("model"),
                  py::arg("info"), py::arg("s"));
    dbplus.method("sync_model", &sync_model, py::arg("model"), py::arg("session") = py::none());
}

}  // namespace dbplus

// The extension module: its globals, in the order Python would bind them,
// and the classes with their methods.
#include <pybind11/pybind11.h>

#include "access/data_permissions.h"
#include "access/function_permissions.h"
#include "dbplus.h"
#include "design/display_name.h"
#include "design/domains.h"
#include "design/model_sync.h"
#include "design/table_columns.h"
#include "entities/create_entity.h"
#include "entities/key_conditions.h"
#include "entities/sequence.h"
#include "entities/update_entity.h"
#include "host/attribute_dict.h"
#include "host/jsql_module.h"
#include "host/module_globals.h"
#include "host/pyaccess.h"
#include "metadata/bad_metadata.h"
#include "metadata/cache.h"
#include "metadata/column_mapping.h"
#include "metadata/model_info.h"
#include "model_info_record.h"
#include "names.h"
#include "perm_check_result.h"
#include "plain_class.h"
#include "queries/export.h"
#include "queries/query_one.h"
#include "queries/search.h"
#include "sql/blocks.h"
#include "sql/client_conditions.h"
#include "sql/normalize.h"
#include "sql/statement.h"
#include "sql_records.h"
#include "trim_get.h"
#include "writes/create.h"
#include "writes/delete.h"
#include "writes/relations.h"
#include "writes/update.h"

namespace py = pybind11;

namespace {

// from <module> import <names...>, relative to this module's package when level is 1; returns <module>
py::object import_names(py::module_& module, const char* from, std::initializer_list<const char*> imported,
                        int level) {
    py::object package = module.attr("__name__").attr("rpartition")(".")[py::int_(0)];
    py::dict importer_globals;
    importer_globals["__name__"] = module.attr("__name__");
    importer_globals["__package__"] = package;
    py::list fromlist;
    for (const char* name : imported) fromlist.append(py::str(name));
    PyObject* source = PyImport_ImportModuleLevel(from, importer_globals.ptr(), nullptr, fromlist.ptr(), level);
    if (!source) throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(source);
    for (const char* name : imported) module.attr(name) = owned.attr(name);
    return owned;
}

void import_module(py::module_& module, const char* name) { module.attr(name) = py::module_::import(name); }

void bind_imports(py::module_& module) {
    import_module(module, "logging");
    import_module(module, "re");
    import_module(module, "uuid");
    import_names(module, "datetime", {"datetime"}, 0);
    import_names(module, "sqlalchemy.types", {"Integer", "DateTime", "Time", "String", "Boolean"}, 0);
    import_names(module, "db", {"Dict"}, 1);
    import_names(module, "xlsx", {"create_sheet"}, 1);
    dbplus::remember_jsql(import_names(module, "jsql", {"JsonSqlParser"}, 1));
}

void bind_cached_models(py::module_& module) {
    py::set tables;
    for (const char* name : {"_role", "_user_role", "_acl_func", "_acl_data", "_prop", "_model", "_role_acl_func",
                             "_resource", "_role_acl_data", "_model_table", "_role_prop"}) {
        tables.add(py::str(name));
    }
    module.attr("cached_models") = tables;
}

void bind_dbplus(py::module_& module) {
    dbplus::ClassBuilder dbplus(dbplus::make_plain_class(module, "DbPlus"));
    dbplus::bind_dbplus_utilities(dbplus);
    dbplus::bind_cache(dbplus);
    dbplus::bind_metadata_version(dbplus);
    dbplus::bind_column_mapping(dbplus);
    dbplus::bind_model_info(dbplus);
    dbplus::bind_data_permissions(dbplus);
    dbplus::bind_function_permissions(dbplus);
    dbplus::bind_normalize(dbplus);
    dbplus::bind_client_conditions(dbplus);
    dbplus::bind_blocks(dbplus);
    dbplus::bind_statement(dbplus);
    dbplus::bind_search(dbplus);
    dbplus::bind_query_one(dbplus);
    dbplus::bind_display_name(dbplus);
    dbplus::bind_table_columns(dbplus);
    dbplus::bind_model_sync(dbplus);
    dbplus::bind_domains(dbplus);
    dbplus::bind_create(dbplus);
    dbplus::bind_update(dbplus);
    dbplus::bind_delete(dbplus);
    dbplus::bind_relations(dbplus);
    dbplus::bind_key_conditions(dbplus);
    dbplus::bind_create_entity(dbplus);
    dbplus::bind_sequence(dbplus);
    dbplus::bind_update_entity(dbplus);
    dbplus::bind_export(dbplus);
    dbplus.install({
        "__init__", "escape", "sql_page", "sql_count", "is_mssql", "in_clause", "session",
        "clear_cache", "evict_cache", "_read_cache", "_write_cache",
        "model_info", "table_column", "guess_column_type",
        "acl_data", "acl_model", "_acl_func_cond", "_acl_func_result", "acl_func", "acl_prop",
        "normalize_sql", "build_acl_cond_sql", "add_cond", "parse_where_cond", "parse_join_cond", "parse_orderby",
        "build_sql_blocks", "build_sql", "search_one", "search_all", "_limit", "search", "export", "query_one",
        "check_perm", "check_perm_ext",
        "create", "create_many", "update", "_update", "update_many", "delete", "_delete",
        "relation", "relation_update", "_update_rel", "_del_rel",
        "beautify_display_name", "generate_table_columns", "generate_columns", "_generate_columns", "sync_model",
        "find_dict_domains", "find_link_domains",
        "primary_key_cond", "primary_key_cond_list", "normalize_create_entity", "generate_seq",
        "normalize_create_entity_list", "normalize_update_entity", "normalize_update_entity_list",
        "touch_metadata",
    });
}

}  // namespace

PYBIND11_MODULE(_dbplus, module) {
    dbplus::names::init();
    dbplus::remember_module_globals(module);
    bind_imports(module);
    dbplus::attribute_dict::remember(module.attr("Dict").ptr());
    module.attr("log") = module.attr("logging").attr("getLogger")(module.attr("__name__"));
    bind_cached_models(module);
    dbplus::bind_sql_records(module);
    dbplus::bind_perm_check_result(module);
    dbplus::bind_model_info_record(module);
    dbplus::bind_trim_get(module);
    dbplus::bind_export_rows(module);
    bind_dbplus(module);
    dbplus::bind_metadata_error(module);
}

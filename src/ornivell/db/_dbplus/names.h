// Interned Python strings for every attribute, key and keyword the module uses.
// Made once at import and never released, so interpreter shutdown cannot free
// them under a late caller.
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus::names {

// X(identifier, "text")
#define DBPLUS_NAMES(X)                              \
    X(db, "db")                                      \
    X(cache, "cache")                                \
    X(cache_enabled, "cache_enabled")                \
    X(get, "get")                                    \
    X(strip, "strip")                                \
    X(split, "split")                                \
    X(dunder_getattr, "__getattr__")                 \
    X(dunder_init, "__init__")                       \
    X(dunder_module, "__module__")                   \
    X(dunder_qualname, "__qualname__")               \
    X(escape, "escape")                              \
    X(escape_sql, "escape_sql")                      \
    X(force_escape_sql, "force_escape_sql")          \
    X(sql_page, "sql_page")                          \
    X(sql_count, "sql_count")                        \
    X(is_mssql, "is_mssql")                          \
    X(in_clause, "in_clause")                        \
    X(savepoint, "savepoint")                        \
    X(rollback, "rollback")                          \
    X(session, "session")                            \
    X(query, "query")                                \
    X(query_one, "query_one")                        \
    X(query_page, "query_page")                      \
    X(tables, "tables")                              \
    X(name, "name")                                  \
    X(type, "type")                                  \
    X(c, "c")                                        \
    X(id, "id")                                      \
    X(model, "model")                                \
    X(table, "table")                                \
    X(alias, "alias")                                \
    X(where, "where")                                \
    X(groupBy, "groupBy")                            \
    X(orderBy, "orderBy")                            \
    X(sql, "sql")                                    \
    X(spName, "spName")                              \
    X(spParams, "spParams")                          \
    X(distinctEnabled, "distinctEnabled")            \
    X(uiData, "uiData")                              \
    X(columns, "columns")                            \
    X(displayName, "displayName")                    \
    X(join, "join")                                  \
    X(order, "order")                                \
    X(mt_table, "mt.table")                          \
    X(mt_columns, "mt.columns")                      \
    X(mt_alias, "mt.alias")                          \
    X(mt_join, "mt.join")                            \
    X(mt_order, "mt.order")                          \
    X(column, "column")                              \
    X(transObjectName, "transObjectName")            \
    X(transTable, "transTable")                      \
    X(transColumns, "transColumns")                  \
    X(transDict, "transDict")                        \
    X(dataType, "dataType")                          \
    X(asEnabled, "asEnabled")                        \
    X(selectEnabled, "selectEnabled")                \
    X(searchEnabled, "searchEnabled")                \
    X(exportEnabled, "exportEnabled")                \
    X(matchEnabled, "matchEnabled")                  \
    X(filterEnabled, "filterEnabled")                \
    X(orderEnabled, "orderEnabled")                  \
    X(orderAsDefault, "orderAsDefault")              \
    X(orderDir, "orderDir")                          \
    X(uid, "uid")                                    \
    X(resource, "resource")                          \
    X(resource_type, "resource_type")                \
    X(resourceId, "resourceId")                      \
    X(funcKey, "funcKey")                            \
    X(funcId, "funcId")                              \
    X(ops, "ops")                                    \
    X(message, "message")                            \
    X(user, "user")                                  \
    X(cond, "cond")                                  \
    X(joinCond, "joinCond")                          \
    X(key, "key")                                    \
    X(key_raw, "key_raw")                            \
    X(page, "page")                                  \
    X(limit, "limit")                                \
    X(doCount, "doCount")                            \
    X(do_count, "do_count")                          \
    X(data, "data")                                  \
    X(parse_cond, "parse_cond")                      \
    X(parse_orderby, "parse_orderby")                \
    X(select_columns, "select_columns")              \
    X(export_columns, "export_columns")              \
    X(join_tables, "join_tables")                    \
    X(search_columns, "search_columns")              \
    X(match_columns, "match_columns")                \
    X(filter_columns, "filter_columns")              \
    X(filter_params, "filter_params")                \
    X(orderby_columns, "orderby_columns")            \
    X(groupby_columns, "groupby_columns")            \
    X(conds, "conds")                                \
    X(params, "params")                              \
    X(metadata, "metadata")                          \
    X(export_props, "export_props")                  \
    X(distinct_enabled, "distinct_enabled")          \
    X(distinct, "distinct")                          \
    X(orderby, "orderby")                            \
    X(groupby, "groupby")                            \
    X(info, "info")                                  \
    X(status, "status")                              \
    X(acl, "acl")                                    \
    X(main_table, "main_table")                      \
    X(props, "props")                                \
    X(Dict, "Dict")                                  \
    X(JsonSqlParser, "JsonSqlParser")                \
    X(cached_models, "cached_models")                \
    X(String, "String")                              \
    X(Integer, "Integer")                            \
    X(DateTime, "DateTime")                          \
    X(Time, "Time")                                  \
    X(Boolean, "Boolean")                            \
    X(append, "append")                              \
    X(update, "update")                              \
    X(extend, "extend")                              \
    X(lower, "lower")                                \
    X(dot, ".")                                      \
    X(comma, ",")                                    \
    X(empty, "")                                     \
    /* model design tools */                         \
    X(DbPlus, "DbPlus")                              \
    X(log, "log")                                    \
    X(warning, "warning")                            \
    X(re, "re")                                      \
    X(search, "search")                              \
    X(I, "I")                                        \
    X(start, "start")                                \
    X(end, "end")                                    \
    X(upper, "upper")                                \
    X(underscore, "_")                               \
    X(comment, "comment")                            \
    X(query_meta, "query_meta")                      \
    X(execute, "execute")                            \
    X(add, "add")                                    \
    X(reflect, "reflect")                            \
    X(extend_existing, "extend_existing")            \
    X(model_info, "model_info")                      \
    X(clear_cache, "clear_cache")                    \
    /* access hardening */                           \
    X(cache_limit, "cache_limit")                    \
    /* writes: entity preparation, sequences, create, update, delete, links */ \
    X(createUserEnabled, "createUserEnabled")        \
    X(createOrgEnabled, "createOrgEnabled")          \
    X(createTimeEnabled, "createTimeEnabled")        \
    X(defaultValue, "defaultValue")                  \
    X(autoGen, "autoGen")                            \
    X(validateEnabled, "validateEnabled")            \
    X(validateFailureMsg, "validateFailureMsg")      \
    X(updateUserEnabled, "updateUserEnabled")        \
    X(updateTimeEnabled, "updateTimeEnabled")        \
    X(orgId, "orgId")                                \
    X(datetime, "datetime")                          \
    X(now, "now")                                    \
    X(strftime, "strftime")                          \
    X(uuid, "uuid")                                  \
    X(uuid4, "uuid4")                                \
    X(value, "value")                                \
    X(valueId, "valueId")                            \
    X(seqId, "seqId")                                \
    X(digits, "digits")                              \
    X(prefix, "prefix")                              \
    X(timeFormat, "timeFormat")                      \
    X(seq_value_table, "_seq_value")                 \
    X(serialized, "serialized")                      \
    X(primary_key, "primary_key")                    \
    X(dunder_contains, "__contains__")               \
    X(dunder_getattribute, "__getattribute__")       \
    X(column_index, "_index")                        \
    X(add_many, "add_many")                          \
    X(merge, "merge")                                \
    X(update_many, "update_many")                    \
    X(delete_, "delete")                             \
    X(keys, "keys")                                  \
    X(extra_conds, "extra_conds")                    \
    X(extra_params, "extra_params")                  \
    X(createEnabled, "createEnabled")                \
    X(deleteEnabled, "deleteEnabled")                \
    X(dunder_enter, "__enter__")                     \
    X(dunder_exit, "__exit__")                       \
    /* export and value lists */                     \
    X(to_sql, "to_sql")                              \
    X(sort, "sort")                                  \
    X(displayOrder, "displayOrder")                  \
    X(transModel, "transModel")                      \
    X(create_sheet, "create_sheet")                  \
    X(takes_row_stream, "takes_row_stream")          \
    X(path, "path")                                  \
    X(filename, "filename")                          \
    X(domain, "domain")                              \
    X(label, "label")                                \
    /* speed: filters parsed in C++ */               \
    X(engine, "engine")                              \
    X(dialect, "dialect")                            \
    X(convert, "convert")                            \
    X(patterns, "patterns")                          \
    X(and_, "_and")                                  \
    X(or_, "_or")                                    \
    X(not_, "_not")                                  \
    X(asc, "asc")                                    \
    X(desc, "desc")                                  \
    X(table_name, "table_name")                      \
    /* the metadata version */                       \
    X(metadata_version, "metadata_version")          \
    X(move_metadata_version, "move_metadata_version") \
    X(metadata_check_interval, "metadata_check_interval") \
    X(metadata_check_due, "_metadata_check_due")     \
    X(seen_metadata_version, "_metadata_version")

#define DBPLUS_DECLARE_NAME(ident, text) extern PyObject* ident;
DBPLUS_NAMES(DBPLUS_DECLARE_NAME)
#undef DBPLUS_DECLARE_NAME

// Creates every name; called once from the module's init.
void init();

}  // namespace dbplus::names

#include "writes/link_rules.h"

#include <vector>

#include "dbplus.h"
#include "entities/key_conditions.h"
#include "host/call.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"

namespace dbplus {

LinkRules::LinkRules(py::handle self, py::handle info, py::handle table, py::handle user)
    : self_(self), table_(py::reinterpret_borrow<py::object>(table)), read_(self, info, table, user) {
    escaped_table_ = Escaper(self).text(attr(table, names::name));
    table_prefix_ = escaped_table_ + ".";
}

std::string LinkRules::guarded(py::handle conds) const {
    return read_.head() + "(" + read_.key_conditions(conds) + ") and (" + read_.rule_group() + ")";
}

py::object LinkRules::admitted(py::handle session, py::handle keys, py::handle row) const {
    Escaper escape(self_);
    py::list conds;
    for (py::handle key : keys) conds.append(to_str(table_prefix_ + escape.text(key) + "=:" + text_of(key)));
    Call query(attr(session, names::query));
    query.expand(row).expand(read_.rule_params());
    return query.run({to_str(guarded(conds))});
}

bool LinkRules::admits(py::handle session, py::handle stored) const {
    std::pair<py::object, py::object> found = identity(stored);
    Call query_one(attr(session, names::query_one));
    query_one.expand(found.second).expand(read_.rule_params());
    return truthy(query_one.run({to_str(guarded(found.first))}));
}

void LinkRules::remove(py::handle session, py::handle stored) const {
    std::pair<py::object, py::object> found = identity(stored);
    std::string sql = "delete from " + escaped_table_ + " where " + utf8(join(" and ", found.first));
    Call(attr(session, names::execute)).expand(found.second).run({to_str(sql)});
}

std::pair<py::object, py::object> LinkRules::identity(py::handle stored) const {
    std::vector<py::object> keys = unpack(call_primary_key_cond(self_, stored, table_), 3);
    if (truthy(keys[0]) && !truthy(keys[2])) {
        return {keys[0], keys[1]};
    }
    Escaper escape(self_);
    py::object columns = attr(table_, names::c);
    py::list conds;
    py::dict params;
    for (py::handle key : stored) {
        if (!contains(columns, key)) continue;
        py::object value = item(stored, key.ptr());
        std::string column = table_prefix_ + escape.text(key);
        if (value.is_none()) {
            conds.append(to_str(column + " is null"));
        } else {
            conds.append(to_str(column + "=:" + text_of(key)));
            params[key] = value;
        }
    }
    return {conds, params};
}

}  // namespace dbplus

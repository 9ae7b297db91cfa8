#include "design/domains.h"

#include <string>
#include <vector>

#include "dbplus.h"
#include "host/call.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "metadata/column_mapping.h"
#include "names.h"

namespace dbplus {

namespace {

OwnMethod find_dict_domains_method("find_dict_domains");

// How many rows of a linked model a value list shows.
constexpr long link_list_rows = 50;

// {"label": label, "order": order}
py::dict list_entry(py::handle label, py::handle order) {
    py::dict entry;
    entry[names::label] = label;
    entry[names::order] = order;
    return entry;
}

// The entries of `domain` in `lists`, made empty on first use.
py::object domain_entries(py::handle lists, py::handle domain) {
    py::object entries = get(lists, domain);
    if (truthy(entries)) return entries;
    entries = py::dict();
    set_item(lists, domain.ptr(), entries);
    return entries;
}

py::object find_dict_domains(py::handle self, py::handle domains) {
    std::string sql = "select * from _dict";
    py::dict params;
    if (py::len(domains) > 0) {
        std::vector<py::object> in_list = unpack(self.attr(names::in_clause)("domains", domains), 2);
        sql += " where domain in ";
        sql += utf8(in_list[0]);
        sql += " order by ";
        sql += Escaper(self).text(names::order);
        update(params, in_list[1]);
    }
    py::object rows = Call(attr(handle_of(self), names::query)).expand(params).run({to_str(sql)});
    py::dict lists;
    for (py::handle row : rows) {
        py::object entries = domain_entries(lists, item(row, names::domain));
        set_item(entries, item(row, names::key).ptr(), list_entry(item(row, names::value), item(row, names::order)));
    }
    return std::move(lists);
}

// Where one filterable property's value list comes from.
struct LinkSource {
    py::object domain;     // name of the list
    py::object model;      // model searched for the values
    py::object code;       // row key of the code
    py::object label;      // row key of the label
};

// The property's own values in its own model, each labelled by itself.
LinkSource own_values(py::handle info, py::handle name) {
    py::object key = py::reinterpret_borrow<py::object>(name);
    return {key, get(attr(info, names::model), names::model), key, key};
}

// The linked table's rows; false when the link is incomplete.
bool linked_values(py::handle self, py::handle prop, py::handle trans, LinkSource& source) {
    py::object to_columns = get(prop, names::transColumns);
    if (!truthy(to_columns)) return false;
    source.label = split(to_columns, names::comma)[py::int_(0)];
    std::vector<py::object> linked = unpack(call_table_column(self, trans), 2);
    if (linked[0].is_none()) return false;
    source.code = linked[1];
    py::object model = get(prop, names::transModel);
    source.model = truthy(model) ? model : py::object(py::str(attr(linked[0], names::name)));
    py::object object_name = get(prop, names::transObjectName);
    source.domain = truthy(object_name) ? object_name : source.model;
    return true;
}

// code -> {"label", "order"} over the first rows of the source's model
// that the user may see; None when the search does not answer 200.
py::object link_list(py::handle self, py::handle user, const LinkSource& source) {
    py::dict args;
    args[names::limit] = py::int_(link_list_rows);
    std::vector<py::object> found = unpack(self.attr(names::search)(user, source.model, py::arg("args") = args), 2);
    if (!py::int_(200).equal(found[1])) return py::none();
    py::dict entries;
    long order = 0;
    for (py::handle row : attr(found[0], names::data)) {
        set_item(entries, item(row, source.code.ptr()).ptr(), list_entry(get(row, source.label), py::int_(order)));
        ++order;
    }
    return std::move(entries);
}

py::object find_link_domains(py::handle self, py::handle user, py::handle info) {
    py::dict link_domains;
    py::object props = attr(info, names::props);
    for (py::handle name : props) {
        py::object prop = props[name];
        if (!truthy(get(prop, names::filterEnabled))) continue;
        py::object trans = get(prop, names::transTable);
        LinkSource source;
        if (!truthy(trans)) {
            source = own_values(info, name);
        } else if (!linked_values(self, prop, trans, source)) {
            continue;
        }
        py::object entries = link_list(self, user, source);
        if (!entries.is_none()) link_domains[source.domain] = entries;
    }
    return std::move(link_domains);
}

}  // namespace

py::object call_find_dict_domains(py::handle self, py::handle domains) {
    return find_dict_domains_method.call(self, [&] { return find_dict_domains(self, domains); }, domains);
}

void bind_domains(ClassBuilder& dbplus) {
    // one default list, made once and shared by the calls that omit it
    dbplus.method(find_dict_domains_method, &find_dict_domains, py::arg("domains") = py::list());
    dbplus.method("find_link_domains", &find_link_domains, py::arg("user"), py::arg("info"),
                  py::doc("处理关联表支持表头字典过滤"));
}

}  // namespace dbplus

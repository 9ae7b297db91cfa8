#include "entities/create_entity.h"

#include <functional>
#include <string>

#include "entities/entity_data.h"
#include "entities/sequence.h"
#include "host/module_globals.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"

namespace dbplus {

namespace {

OwnMethod normalize_create_entity_method("normalize_create_entity");
OwnMethod normalize_create_entity_list_method("normalize_create_entity_list");

bool flag(py::handle prop, PyObject* name) { return truthy(get(prop, name)); }

// A preset fills a property that the entity does not name at all.
void preset(py::handle data, py::handle key, bool applies, const std::function<py::object()>& value) {
    if (applies && !contains(data, key)) set_item(data, key.ptr(), value());
}

// What the module fills in is its own, whatever the request says: a
// caller cannot forge who created a record, when, or its generated values.
// A renamed property's column gets it too, or the column copy made before
// would write the request's value.
void fill(py::handle prop, py::handle data, py::handle key, bool applies, const std::function<py::object()>& value) {
    if (!applies) return;
    py::object filled = value();
    set_item(data, key.ptr(), filled);
    py::object column = attr(prop, names::column);
    if (py::isinstance<py::str>(column) && !column.equal(key)) set_item(data, column.ptr(), filled);
}

py::object generated(py::handle self, py::handle rule, py::handle user) {
    static py::handle timestamp = permanent_str("timestamp");
    static py::handle timestamp_format = permanent_str("%Y%m%d%H%M%S");
    if (rule.equal(py::handle(names::uuid))) return py::str(call_method(module_global(names::uuid), names::uuid4));
    if (rule.equal(timestamp)) return local_now().attr(names::strftime)(timestamp_format);
    return call_generate_seq(self, rule, user);
}

void generate(py::handle self, py::handle prop, py::handle key, py::handle data, py::handle user) {
    py::object rule = get(prop, names::autoGen);
    fill(prop, data, key, truthy(rule), [&] { return generated(self, rule, user); });
}

void require(py::handle prop, py::handle key, py::handle data, py::dict& errors) {
    if (!flag(prop, names::validateEnabled) || contains(data, key)) return;
    py::object message = get(prop, names::validateFailureMsg);
    errors[key] = truthy(message) ? message : py::object(to_str(text_of(key) + " is required"));
}

py::dict normalize_create_entity(py::handle self, py::handle user, py::handle data, py::handle info) {
    py::dict errors;
    py::object props = attr(info, names::props);
    for (py::handle key : props) {
        py::object prop = props[key];
        copy_to_column(prop, data);
        fill(prop, data, key, flag(prop, names::createUserEnabled), [&] { return item(user, names::id); });
        // the organisation stays the caller's to give, within the user's rules
        preset(data, key, flag(prop, names::createOrgEnabled), [&] { return item(user, names::orgId); });
        fill(prop, data, key, flag(prop, names::createTimeEnabled), [&] { return local_now(); });
        py::object default_value = get(prop, names::defaultValue);
        preset(data, key, truthy(default_value), [&] { return default_value; });
        generate(self, prop, key, data, user);
        require(prop, key, data, errors);
    }
    return errors;
}

py::list normalize_create_entity_list(py::handle self, py::handle user, py::handle data, py::handle info) {
    py::list errors;
    for (py::handle entity : entity_list(data)) {
        py::object found = call_normalize_create_entity(self, user, entity, info);
        if (truthy(found)) errors.append(found);
    }
    return errors;
}

}  // namespace

py::object call_normalize_create_entity(py::handle self, py::handle user, py::handle data, py::handle info) {
    return normalize_create_entity_method.call(
        self, [&] { return py::object(normalize_create_entity(self, user, data, info)); }, user, data, info);
}

py::object call_normalize_create_entity_list(py::handle self, py::handle user, py::handle data, py::handle info) {
    return normalize_create_entity_list_method.call(
        self, [&] { return py::object(normalize_create_entity_list(self, user, data, info)); }, user, data, info);
}

void bind_create_entity(ClassBuilder& dbplus) {
    dbplus.method(normalize_create_entity_method, &normalize_create_entity, py::arg("user"), py::arg("data"),
                  py::arg("info"));
    dbplus.method(normalize_create_entity_list_method, &normalize_create_entity_list, py::arg("user"),
                  py::arg("data"), py::arg("info"));
}

}  // namespace dbplus

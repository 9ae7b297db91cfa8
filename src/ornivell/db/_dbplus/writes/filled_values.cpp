#include "writes/filled_values.h"

#include <functional>

#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"

namespace dbplus {

namespace {

bool filled_by_module(py::handle prop) {
    return truthy(get(prop, names::createUserEnabled)) || truthy(get(prop, names::createTimeEnabled)) ||
           truthy(get(prop, names::autoGen));
}

// Each filled property's key and column that the entity holds.
void for_each_filled_key(py::handle info, py::handle entity,
                         const std::function<void(py::handle key, py::handle column)>& visit) {
    py::object props = attr(info, names::props);
    for (py::handle key : props) {
        py::object prop = props[key];
        if (!filled_by_module(prop)) continue;
        py::object column = attr(prop, names::column);
        if (contains(entity, key)) visit(key, column);
        if (!column.equal(key) && contains(entity, column)) visit(column, column);
    }
}

// A form sends back what it read: the stored value, or its text, or a time
// in ISO form.
bool same_value(py::handle sent, py::handle stored) {
    if (equals(sent, stored) || text_of(sent) == text_of(stored)) return true;
    return py::hasattr(stored, "isoformat") && text_of(sent) == text_of(stored.attr("isoformat")());
}

}  // namespace

bool names_filled_values(py::handle info, py::handle entity) {
    bool found = false;
    for_each_filled_key(info, entity, [&](py::handle, py::handle) { found = true; });
    return found;
}

py::list changed_filled_values(py::handle info, py::handle entity, py::handle stored) {
    py::list changed;
    for_each_filled_key(info, entity, [&](py::handle key, py::handle column) {
        if (!same_value(item(entity, key.ptr()), get(stored, column)) && !contains(changed, key)) changed.append(key);
    });
    return changed;
}

}  // namespace dbplus

#include "entities/update_entity.h"

#include "entities/entity_data.h"
#include "host/pyaccess.h"
#include "names.h"

namespace dbplus {

namespace {

OwnMethod normalize_update_entity_method("normalize_update_entity");
OwnMethod normalize_update_entity_list_method("normalize_update_entity_list");

// The modifier and the time are always the acting user's and now, whatever was submitted.
void normalize_update_entity(py::handle, py::handle user, py::handle data, py::handle info) {
    py::object props = attr(info, names::props);
    for (py::handle key : props) {
        py::object prop = props[key];
        copy_to_column(prop, data);
        if (truthy(get(prop, names::updateUserEnabled))) set_item(data, key.ptr(), attr(user, names::id));
        if (truthy(get(prop, names::updateTimeEnabled))) set_item(data, key.ptr(), local_now());
    }
}

void normalize_update_entity_list(py::handle self, py::handle user, py::handle data, py::handle info) {
    for (py::handle entity : entity_list(data)) call_normalize_update_entity(self, user, entity, info);
}

}  // namespace

void call_normalize_update_entity(py::handle self, py::handle user, py::handle data, py::handle info) {
    normalize_update_entity_method.call(
        self, [&] { normalize_update_entity(self, user, data, info); return py::object(py::none()); }, user, data,
        info);
}

void call_normalize_update_entity_list(py::handle self, py::handle user, py::handle data, py::handle info) {
    normalize_update_entity_list_method.call(
        self, [&] { normalize_update_entity_list(self, user, data, info); return py::object(py::none()); }, user,
        data, info);
}

void bind_update_entity(ClassBuilder& dbplus) {
    dbplus.method(normalize_update_entity_method, &normalize_update_entity, py::arg("user"), py::arg("data"),
                  py::arg("info"));
    dbplus.method(normalize_update_entity_list_method, &normalize_update_entity_list, py::arg("user"),
                  py::arg("data"), py::arg("info"));
}

}  // namespace dbplus

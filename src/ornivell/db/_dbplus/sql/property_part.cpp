#include "sql/property_part.h"

#include "dbplus.h"
#include "host/callable_stamp.h"
#include "host/pyaccess.h"
#include "host/weak_memo.h"
#include "model_info_record.h"
#include "names.h"

namespace dbplus {

namespace {

bool set_or_none(py::handle value) {
    return value.is_none() || PySet_CheckExact(value.ptr()) || PyFrozenSet_CheckExact(value.ptr());
}

// A set's contents as they are now; None stays None.
py::object contents(py::handle value) {
    if (value.is_none()) return py::none();
    return steal_or_throw(PyFrozenSet_New(value.ptr()));
}

bool same_contents(py::handle now, const py::object& kept) {
    if (kept.is_none() || now.is_none()) return now.is_none() && kept.is_none();
    if (!PyAnySet_Check(now.ptr())) return false;
    int same = PyObject_RichCompareBool(now.ptr(), kept.ptr(), Py_EQ);
    if (same < 0) throw py::error_already_set();
    return same == 1;
}

struct KeptPart {
    PropertyPart part;
    ReadLog log;
    CallableStamp escape;
    py::object hidden, filter_props;  // their contents when the part was made
    py::object base_order;
    py::object handle_tables;  // empty when not read

    bool holds(py::handle self, py::handle info, const PartInputs& inputs) const {
        if (!inputs.escape || !escape.matches(inputs.escape)) return false;
        // made through the module's own table_name, whose reads the log holds
        if (!own_table_names(info)) return false;
        if (!inputs.base_order.is(base_order)) return false;
        if (!same_contents(inputs.hidden, hidden) || !same_contents(inputs.filter_props, filter_props)) return false;
        if (handle_tables && !attr(handle_of(self), names::tables).is(handle_tables)) return false;
        return log.holds(info);
    }
};

// Enough for the models a busy host keeps in its caches; a part pushed out is made again.
WeakMemo<KeptPart>& kept_parts() {
    static auto* memo = new WeakMemo<KeptPart>(4096);  // never freed
    return *memo;
}

}  // namespace

bool part_keepable(const PartInputs& inputs) {
    return inputs.escape && set_or_none(inputs.hidden) && set_or_none(inputs.filter_props);
}

std::shared_ptr<const PropertyPart> kept_property_part(py::handle self, py::handle info, const PartInputs& inputs) {
    std::shared_ptr<KeptPart> kept = kept_parts().find(info);
    if (!kept || !kept->holds(self, info, inputs)) return nullptr;
    return std::shared_ptr<const PropertyPart>(kept, &kept->part);
}

void keep_property_part(py::handle info, const PartInputs& inputs, ReadLog log, py::object handle_tables,
                        PropertyPart part) {
    if (!part_keepable(inputs) || !log.usable()) return;
    auto kept = std::make_shared<KeptPart>(KeptPart{std::move(part), std::move(log), {}, contents(inputs.hidden),
                                                   contents(inputs.filter_props),
                                                   py::reinterpret_borrow<py::object>(inputs.base_order),
                                                   std::move(handle_tables)});
    if (!kept->escape.make(inputs.escape)) return;
    kept_parts().keep(info, std::move(kept));
}

}  // namespace dbplus

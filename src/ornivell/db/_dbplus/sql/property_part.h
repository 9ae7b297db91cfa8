// The property part of a model's block: the select items, the column lists
// for keyword search, match, filters, export and default ordering, and the
// lookup joins of translated properties. It depends on the loaded model, the
// hidden properties, the selection and the handle's quoting, not on the
// request, so the part made for a ModelInfo is kept with it and reused while
// everything it was made from is the same (see ReadLog).
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "host/read_log.h"

namespace dbplus {

namespace py = pybind11;

struct PropertyPart {
    py::list select_columns, export_columns, export_props, search_columns, match_columns, filter_columns,
        filter_params, orderby_columns;
    py::list lookup_joins;  // pairs (FROM piece, order), after the model's own joins
};

// What a part depends on besides the reads in its log.
struct PartInputs {
    py::handle escape;        // the function that quotes names
    py::handle hidden;        // the names of the hidden properties
    py::handle filter_props;  // the selected property keys, or None
    py::handle base_order;    // the order number of the join the lookup joins follow
};

// Whether a part made from these inputs can be kept: quoting by the handle's
// own function, and sets (or None) for the hidden and selected properties.
bool part_keepable(const PartInputs& inputs);

// The part kept for `info` when it still holds for `self` and `inputs`; null otherwise.
std::shared_ptr<const PropertyPart> kept_property_part(py::handle self, py::handle info, const PartInputs& inputs);

// Keeps `part` for `info`. `handle_tables` is the handle's table map when
// the part read it (translated properties), else empty.
void keep_property_part(py::handle info, const PartInputs& inputs, ReadLog log, py::object handle_tables,
                        PropertyPart part);

}  // namespace dbplus

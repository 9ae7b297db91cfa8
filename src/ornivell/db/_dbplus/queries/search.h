// Paged search, all rows of one large page, and a single row of a model.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

// The largest page a request can ask for; larger requests get this many rows.
constexpr long max_page_size = 1000;

void bind_search(ClassBuilder& dbplus);

// self.search(user, entity, args, extra_conds=..., extra_params=..., session=...)
py::object call_search(py::handle self, py::handle user, py::handle entity, py::handle args, py::handle extra_conds,
                       py::handle extra_params, py::handle session);

}  // namespace dbplus

// The client's filter, join filters and ordering, parsed by the host's
// JsonSqlParser; and bracketed groups of conditions.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"

namespace dbplus {

namespace py = pybind11;

void bind_client_conditions(ClassBuilder& dbplus);

// self.add_cond(conds, new_conds, "and")
void call_add_cond(py::handle self, py::handle conds, py::handle new_conds);
// self.parse_where_cond(args, info), self.parse_join_cond(args, info), self.parse_orderby(args, info)
py::object call_parse_where_cond(py::handle self, py::handle args, py::handle info);
py::object call_parse_join_cond(py::handle self, py::handle args, py::handle info);
py::object call_parse_orderby(py::handle self, py::handle args, py::handle info);

}  // namespace dbplus

// A user's row rules, ready to be joined into one condition group.
#pragma once

#include <pybind11/pybind11.h>

namespace dbplus {

namespace py = pybind11;

// The rule texts of `rules`, each in brackets of its own when there are
// several, so that joining them with "and" or "or" cannot regroup a rule
// that holds an "or" of its own. A single rule is returned as it stands:
// the group it goes into brackets it.
py::list bracketed_rules(py::handle rules);

}  // namespace dbplus

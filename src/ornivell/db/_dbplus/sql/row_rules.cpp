#include "sql/row_rules.h"

#include <string>

#include "host/text.h"

namespace dbplus {

py::list bracketed_rules(py::handle rules) {
    py::list result;
    bool several = py::len(rules) > 1;
    for (py::handle rule : rules) {
        result.append(several ? py::object(to_str("(" + utf8(rule) + ")")) : py::reinterpret_borrow<py::object>(rule));
    }
    return result;
}

}  // namespace dbplus

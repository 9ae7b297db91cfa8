#include "perm_check_result.h"

#include "names.h"
#include "record_class.h"

namespace dbplus {

namespace {
py::handle perm_check_result_class;  // kept for the life of the process
}

py::object new_perm_check_result() { return new_record(perm_check_result_class); }

void bind_perm_check_result(py::module_& module) {
    perm_check_result_class = make_record_class(module, "PermCheckResult",
                                                {{&names::info, FieldDefault::none},
                                                 {&names::status, FieldDefault::none},
                                                 {&names::acl, FieldDefault::none},
                                                 {&names::message, FieldDefault::none}})
                                  .release();
}

}  // namespace dbplus

#include "writes/sessions.h"

#include "dbplus.h"
#include "host/context.h"
#include "host/pyaccess.h"
#include "names.h"

namespace dbplus {

py::object in_session(py::handle self, py::handle session, const SessionWork& work) {
    if (truthy(session)) return work(session);
    return in_new_session(self, work);
}

py::object in_new_session(py::handle self, const SessionWork& work) {
    return with_context(call_method(handle_of(self), names::session), work);
}

}  // namespace dbplus

#include "result_pair.h"

#include "host/text.h"
#include "names.h"

namespace dbplus {

py::dict message_payload(const std::string& text) {
    py::dict payload;
    payload[names::message] = to_str(text);
    return payload;
}

py::tuple result_pair(py::handle payload, int status) { return py::make_tuple(payload, status); }

py::tuple result_pair(py::handle payload, py::handle status) { return py::make_tuple(payload, status); }

bool is_ok(py::handle status) { return py::int_(200).equal(status); }

}  // namespace dbplus

#include "entities/sequence.h"

#include <string>

#include "dbplus.h"
#include "entities/entity_data.h"
#include "host/call.h"
#include "host/context.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"

namespace dbplus {

namespace {

OwnMethod generate_seq_method("generate_seq");

constexpr const char* sequence_sql =
    "\n        SELECT s.*, v.id as \"valueId\", v.value"
    "\n        FROM _seq s LEFT JOIN _seq_value v ON s.id = v.seqId and orgId=:orgId"
    "\n        WHERE s.name=:name"
    "\n        ";

py::handle sequence_statement() {
    static py::handle statement = permanent_str(sequence_sql);
    return statement;
}

// The first number of an organisation needs its counter row.
void add_counter(py::handle db, py::handle seq, py::handle org) {
    set_attr(seq, names::value, py::int_(0));
    py::dict counter;
    counter[names::value] = attr(seq, names::value);
    counter[names::seqId] = attr(seq, names::id);
    counter[names::orgId] = org;
    py::object added = attr(db, names::add)(py::handle(names::seq_value_table), counter);
    set_attr(seq, names::valueId, attr(added, names::id));
}

// ("{:0%d}" % digits).format(counter)
py::object padded(py::handle counter, py::handle digits) {
    py::object pattern = steal_or_throw(PyUnicode_Format(py::str("{:0%d}").ptr(), digits.ptr()));
    return pattern.attr("format")(counter);
}

std::string time_part(py::handle seq) {
    py::object format = attr(seq, names::timeFormat);
    if (!truthy(format)) return std::string();
    return utf8(local_now().attr(names::strftime)(format));
}

// Reads the counter, issues the next number and stores it back.
py::object next_number(py::handle db, py::handle name, py::handle org) {
    py::object seq = Call(attr(db, names::query_one))
                         .keyword(names::name, name)
                         .keyword(names::orgId, org)
                         .run({sequence_statement()});
    if (!truthy(seq)) return py::none();
    if (!truthy(attr(seq, names::valueId))) add_counter(db, seq, org);
    py::object digits = attr(seq, names::digits);
    py::object modulus = steal_or_throw(PyNumber_Long(steal_or_throw(PyNumber_Power(py::int_(10).ptr(), digits.ptr(), Py_None)).ptr()));
    py::object counter = steal_or_throw(PyNumber_Remainder(
        steal_or_throw(PyNumber_Add(attr(seq, names::value).ptr(), py::int_(1).ptr())).ptr(), modulus.ptr()));
    std::string number;
    py::object prefix = attr(seq, names::prefix);
    if (truthy(prefix)) append_text(number, prefix);
    number += time_part(seq);
    append_text(number, padded(counter, digits));
    py::dict stored;
    stored[names::id] = attr(seq, names::valueId);
    stored[names::value] = counter;
    attr(db, names::merge)(py::handle(names::seq_value_table), stored);
    return to_str(number);
}

// The counter's read and write run in one transaction of the handle's own,
// apart from the caller's session, that holds the lock of this sequence and
// organisation: concurrent callers get one number each. A handle without
// `serialized` issues numbers as the plain read and write, without a lock.
py::object generate_seq(py::handle self, py::handle name, py::handle user) {
    if (!truthy(name)) return py::none();
    py::object org = attr(user, names::orgId);
    std::string lock_key = "_seq/";
    append_text(lock_key, name);
    lock_key += "/";
    append_text(lock_key, org);
    py::object db = handle_of(self);
    int offered = PyObject_HasAttr(db.ptr(), names::serialized);
    if (!offered) return next_number(db, name, org);
    py::object lock = attr(db, names::serialized)(to_str(lock_key));
    return with_context(lock, [&](py::handle) { return next_number(db, name, org); });
}

}  // namespace

py::object call_generate_seq(py::handle self, py::handle name, py::handle user) {
    return generate_seq_method.call(self, [&] { return generate_seq(self, name, user); }, name, user);
}

void bind_sequence(ClassBuilder& dbplus) {
    dbplus.method(generate_seq_method, &generate_seq, py::arg("name"), py::arg("user"));
}

}  // namespace dbplus

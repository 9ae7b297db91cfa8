#include "writes/within_rules.h"

#include <string>
#include <unordered_set>

#include "host/call.h"
#include "host/context.h"
#include "host/pyaccess.h"
#include "host/text.h"
#include "names.h"
#include "writes/sessions.h"

namespace dbplus {

namespace {

// Ids compared as texts, so that an id sent as "7" matches the stored 7.
std::unordered_set<std::string> id_texts(py::handle ids) {
    std::unordered_set<std::string> texts;
    for (py::handle id : ids) texts.insert(text_of(id));
    return texts;
}

bool all_admitted(py::handle session, const GuardedRead& read, py::handle ids) {
    std::unordered_set<std::string> wanted = id_texts(ids);
    if (wanted.empty()) return true;
    auto [sql, params] = read.ids_admitted(ids);
    py::object rows = Call(attr(session, names::query)).expand(params).run({to_str(sql)});
    for (py::handle row : rows) wanted.erase(text_of(read.row_id(row)));
    return wanted.empty();
}

}  // namespace

bool write_within_rules(py::handle session, const GuardedRead& read, const IdsWrite& write) {
    py::object kept = with_context(call_method(session, names::savepoint), [&](py::handle savepoint) {
        if (all_admitted(session, read, write(session))) return py::bool_(true);
        call_method(savepoint, names::rollback);
        return py::bool_(false);
    });
    return truthy(kept);
}

bool write_within_rules(py::handle self, py::handle session, const GuardedRead& read, const IdsWrite& write) {
    py::object kept = in_session(self, session, [&](py::handle s) { return py::bool_(write_within_rules(s, read, write)); });
    return truthy(kept);
}

}  // namespace dbplus

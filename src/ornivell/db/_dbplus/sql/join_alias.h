// The name under which a stored join text brings in its table:
// "left join department d on d.id = e.deptId" brings in department as d, so
// the statement must name department's columns d.<column>.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dbplus {

struct JoinIntroduction {
    bool found = false;                // the text joins `table` by its name
    std::optional<std::string> alias;  // the alias the text gives it, if any
};

// How `join_text` introduces `table` (names compared by their last part,
// without regard to ASCII case).
JoinIntroduction introduction_of(std::string_view join_text, std::string_view table);

}  // namespace dbplus

// One record of a model's main table deleted under the delete permission,
// when the user's row rules let them see it.
#pragma once

#include "plain_class.h"

namespace dbplus {

void bind_delete(ClassBuilder& dbplus);

}  // namespace dbplus

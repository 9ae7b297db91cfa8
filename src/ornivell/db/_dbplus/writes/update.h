// Records of a model's main table changed under the update permission: one
// record read back under the user's row rules first, or a batch whose rows
// must all be visible to the user.
#pragma once

#include "plain_class.h"

namespace dbplus {

void bind_update(ClassBuilder& dbplus);

}  // namespace dbplus

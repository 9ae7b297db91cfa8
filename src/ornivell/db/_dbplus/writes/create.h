// Records inserted into a model's main table, singly and in batches, under
// the create permission.
#pragma once

#include "plain_class.h"

namespace dbplus {

void bind_create(ClassBuilder& dbplus);

}  // namespace dbplus

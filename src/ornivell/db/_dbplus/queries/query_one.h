// One record of a model by id, under the user's property and data permissions.
#pragma once

#include "plain_class.h"

namespace dbplus {

void bind_query_one(ClassBuilder& dbplus);

}  // namespace dbplus

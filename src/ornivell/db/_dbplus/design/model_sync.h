// Bringing a whole model's property rows in line with its tables as the
// database holds them now.
#pragma once

#include "plain_class.h"

namespace dbplus {

void bind_model_sync(ClassBuilder& dbplus);

}  // namespace dbplus

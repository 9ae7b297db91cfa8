// Link rows of many-to-many relations: read through a search of the link
// model, added when absent and deleted by the values they hold.
#pragma once

#include "plain_class.h"

namespace dbplus {

void bind_relations(ClassBuilder& dbplus);

}  // namespace dbplus

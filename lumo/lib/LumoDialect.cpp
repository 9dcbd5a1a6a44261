#include "lumo/LumoDialect.h"

#include "lumo/LumoOps.h"

#include "lumo/LumoDialect.cpp.inc"

namespace lumo {

void LumoDialect::initialize() {
  addOperations<
#define GET_OP_LIST
#include "lumo/LumoOps.cpp.inc"
      >();
}

} // namespace lumo

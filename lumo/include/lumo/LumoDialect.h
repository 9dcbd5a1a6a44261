// The lumo dialect.
#pragma once

#include "mlir/IR/Dialect.h"

#include "lumo/LumoDialect.h.inc"

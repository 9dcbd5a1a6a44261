// The operations of the lumo dialect (generated from csrc/lumo_ops.yaml).
#pragma once

#include "mlir/IR/BuiltinAttributes.h"
#include "mlir/IR/BuiltinTypes.h"
#include "mlir/IR/OpDefinition.h"
#include "mlir/IR/OpImplementation.h"
#include "mlir/Interfaces/InferTypeOpInterface.h"
#include "mlir/Interfaces/SideEffectInterfaces.h"

#include "lumo/LumoDialect.h"
#include "lumo/LumoTraits.h"

#define GET_OP_CLASSES
#include "lumo/LumoOps.h.inc"

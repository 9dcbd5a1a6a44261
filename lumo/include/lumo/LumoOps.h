// The operations of the lumo dialect (generated from csrc/lumo_ops.yaml).
#pragma once

#include <optional>
#include <string>

#include "mlir/IR/BuiltinAttributes.h"
#include "mlir/IR/BuiltinTypes.h"
#include "mlir/IR/OpDefinition.h"
#include "mlir/IR/OpImplementation.h"
#include "mlir/IR/PatternMatch.h"
#include "mlir/Interfaces/InferTypeOpInterface.h"
#include "mlir/Interfaces/SideEffectInterfaces.h"

#include "lumo/LumoDialect.h"
#include "lumo/LumoTraits.h"

#include "lumo/LumoEnums.h.inc"

#define GET_ATTRDEF_CLASSES
#include "lumo/LumoAttrs.h.inc"

#define GET_OP_CLASSES
#include "lumo/LumoOps.h.inc"

namespace lumo {

/// The dialect's form of an attribute given as a library call gives it (a `str` naming an
/// enumeration's case, a 0/1 list for a bool; see the table's `attributes`): the enum or bool
/// attribute, or `value` itself for attributes the dialect takes as they are. Null, with the
/// reason in `error`, when the value is not one the attribute can hold.
mlir::Attribute attributeFromLibrary(llvm::StringRef opName, llvm::StringRef attrName, mlir::Attribute value,
                                     std::string &error);

/// The spelling of the case an enum attribute of the dialect holds, if it is one.
std::optional<llvm::StringRef> enumCaseName(mlir::Attribute attr);

} // namespace lumo

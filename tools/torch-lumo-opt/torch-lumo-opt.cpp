// torch-lumo-opt: reads MLIR (torch-dialect operations stay generic, lumo and func are
// registered), runs the requested passes and prints the result.
#include <vector>

#include "mlir/Dialect/Func/IR/FuncOps.h"
#include "mlir/IR/DialectRegistry.h"
#include "mlir/Tools/mlir-opt/MlirOptMain.h"

#include "lumo/LumoDialect.h"

int main(int argc, char **argv) {
  mlir::DialectRegistry registry;
  registry.insert<mlir::func::FuncDialect, lumo::LumoDialect>();

  // The torch dialect is not registered: its operations and types are always accepted as
  // unregistered ones.
  std::vector<char *> args(argv, argv + argc);
  static char allowUnregistered[] = "--allow-unregistered-dialect";
  args.insert(args.begin() + 1, allowUnregistered);
  return mlir::asMainReturnCode(
      mlir::MlirOptMain(static_cast<int>(args.size()), args.data(), "torch to lumo conversion tool\n", registry));
}

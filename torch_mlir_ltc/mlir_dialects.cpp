#include "mlir_dialects.h"

#include <mlir-c/Dialect/Func.h>

void torchMlirRegisterAllDialects(MlirContext context) {
  MlirDialectHandle func = mlirGetDialectHandle__func__();
  mlirDialectHandleRegisterDialect(func, context);
  mlirDialectHandleLoadDialect(func, context);
  mlirContextSetAllowUnregisteredDialects(context, true);
}

#pragma once

#include <mlir-c/IR.h>

// Makes `context` ready for torch-dialect modules: loads the func dialect and admits the torch
// dialect, which is not linked in, as an unregistered dialect (generic operation form).
void torchMlirRegisterAllDialects(MlirContext context);

// Helpers between PyTorch and the MLIR C API for the attributes of the lowered module.
#pragma once

#include <string>

#include <ATen/core/Tensor.h>
#include <mlir-c/IR.h>

// A reference to the string's characters (no copy; valid while `s` lives unchanged).
MlirStringRef toMlirStringRef(const std::string& s);

// `attr` under the name `name`, made in the attribute's own context. A null attribute is an error.
MlirNamedAttribute toMlirNamedAttribute(const char* name, MlirAttribute attr);

// The element type of the appliance's tensors, spelled as the torch dialect spells it: Byte ui8,
// Char si8, Short si16, Int si32, Long si64, Half f16, BFloat16 bf16, Float f32, Double f64,
// Bool i1. Any other type is a fatal error.
MlirType aten_type_to_mlir(c10::ScalarType type, const MlirContext& context);

// The tensor's values, in row-major order, as a dense elements attribute named `name`.
MlirNamedAttribute create_mlir_dense_attr(const std::string& name, at::Tensor tensor,
                                          const MlirContext& context);

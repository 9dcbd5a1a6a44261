#include "mlir_utils.h"

#include <cstring>

#include <mlir-c/BuiltinAttributes.h>
#include <mlir-c/BuiltinTypes.h>

#include "torch_mlir_ltc/mlir_import.h"
#include "utils.h"

MlirStringRef toMlirStringRef(const std::string& s) {
  return mlirStringRefCreate(s.data(), s.size());
}

MlirNamedAttribute toMlirNamedAttribute(const char* name, MlirAttribute attr) {
  if (mlirAttributeIsNull(attr)) {
    mFwLtcFatal << "Cannot name a null MLIR attribute \"" << name << "\"";
  }
  MlirContext context = mlirAttributeGetContext(attr);
  MlirIdentifier id = mlirIdentifierGet(context, mlirStringRefCreate(name, std::strlen(name)));
  return mlirNamedAttributeGet(id, attr);
}

MlirType aten_type_to_mlir(c10::ScalarType type, const MlirContext& context) {
  // The importer's table, so that an embedded value has the type of the argument it belongs to;
  // the programs the appliance runs have no complex<f16> element type.
  if (type != c10::ScalarType::ComplexHalf && torch::lazy::torchMlirHasElementType(type)) {
    return torch::lazy::torchMlirElementType(context, type);
  }
  mFwLtcFatal << "Unsupported ATen dtype: " << c10::toString(type);
  return MlirType{nullptr};  // not reached: a fatal message throws
}

MlirNamedAttribute create_mlir_dense_attr(const std::string& name, at::Tensor tensor,
                                          const MlirContext& context) {
  MlirType element_type = aten_type_to_mlir(tensor.scalar_type(), context);
  // Reads strided tensors in logical order and packs bool data to bits.
  MlirAttribute attr = torch::lazy::torchMlirTryDenseElementsAttr(element_type, tensor);
  if (mlirAttributeIsNull(attr)) {
    mFwLtcFatal << "Cannot make the dense attribute \"" << name << "\" from a "
                << c10::toString(tensor.scalar_type()) << " tensor of sizes " << tensor.sizes();
  }
  return mlirNamedAttributeGet(mlirIdentifierGet(context, toMlirStringRef(name)), attr);
}

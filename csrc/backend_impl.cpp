#include "backend_impl.h"

#include <torch/csrc/lazy/backend/lowering_context.h>

#include "lazy_graph_executor.h"
#include "ox_metadata.h"
#include "torch_mlir_ltc/mlir_dialects.h"
#include "torch_mlir_ltc/native_functions.h"
#include "torch_mlir_ltc/utils/debug.h"
#include "torch_mlir_ltc/utils/exception.h"
#include "utils.h"

namespace torch {
namespace lazy {

const std::string kResourceAliasPosAttrName = "tf.aliasing_output";
const std::string kResourceAttrName = "tf.resource_name";
const std::string kParameterValueAttrName = "tf.parameter_value";
const std::string kInputNameAttrName = "vx.input_name";
const std::string kOutputNameAttrName = "vx.output_name";
const std::string kSeedAttrName = "vx.seed";

namespace {
// Operations whose work arrives later refuse clearly instead of pretending to work.
[[noreturn]] void not_available_yet(const char* what) {
  throw std::runtime_error(std::string("Unimplemented Error: ") + what +
                           " is not available in this build yet");
}
}  // namespace

OrvexBackendImpl::OrvexBackendImpl()
    : appliance(std::make_unique<orvex::ApplianceMode>()) {
  mlir_context = mlirContextCreate();
  torchMlirRegisterAllDialects(mlir_context);
}

// The MLIR context lives as long as the process; only the appliance state goes.
OrvexBackendImpl::~OrvexBackendImpl() = default;

void OrvexBackendImpl::PrepareToExit() const {}

void OrvexBackendImpl::SetRngSeed(size_t seed) const { UNIMPLEMENTED_FUNCTION_ERROR(); }

BackendDataPtr OrvexBackendImpl::MakeComputationDataFromTensor(const at::Tensor& tensor,
                                                               const Shape& shape,
                                                               const BackendDevice& device) const {
  PRINT_FUNCTION();
  // The detached tensor shares its storage with the caller's; the record decides what to keep.
  auto info = std::make_shared<ApplianceDataInfo>(tensor.detach());
  return std::make_shared<TorchMlirBackendData>(device, shape, std::move(info));
}

BackendDataPtr OrvexBackendImpl::MakeComputationDataFromScalar(const at::Scalar& scalar,
                                                               const BackendDevice& device) const {
  PRINT_FUNCTION();
  auto info = std::make_shared<ApplianceDataInfo>(scalar);
  at::ScalarType type;
  if (scalar.isComplex()) {
    type = at::kComplexDouble;
  } else if (scalar.isFloatingPoint()) {
    type = at::kDouble;
  } else if (scalar.isIntegral(/*includeBool=*/false)) {
    type = at::kLong;
  } else if (scalar.isBoolean()) {
    type = at::kBool;
  } else {
    throw std::runtime_error("Unknown scalar type.");
  }
  return std::make_shared<TorchMlirBackendData>(device, Shape(type, {}), std::move(info));
}

BackendDataPtr OrvexBackendImpl::CreateDataPlaceholder(const BackendDevice& device,
                                                       const Shape& shape) const {
  PRINT_FUNCTION();
  return std::make_shared<TorchMlirBackendData>(device, shape,
                                                std::make_shared<ApplianceDataInfo>());
}

at::Tensor OrvexBackendImpl::MakeTensorFromComputationData(
    const BackendDataPtr data, std::optional<at::ScalarType> logical_scalar_type) const {
  PRINT_FUNCTION();
  mFwLtcFatal << "Orvex backend has detected MakeTensorFromComputationData "
              << "call outside of step_closure.";
  return at::Tensor();  // not reached: a fatal message throws
}

std::unique_ptr<LoweringContext> OrvexBackendImpl::CreateLoweringContext(
    const std::string& name, BackendDevice device,
    c10::ArrayRef<const torch::lazy::Node*> post_order, Util::EmissionMap emit_status) const {
  not_available_yet("lowering");
}

std::unique_ptr<LoweringContext> OrvexBackendImpl::CreateLoweringContext(
    const std::string& name, BackendDevice device) const {
  not_available_yet("lowering");
}

std::vector<std::string> OrvexBackendImpl::GetCompilationDevices(
    const std::string& device, c10::ArrayRef<std::string> devices) const {
  UNIMPLEMENTED_FUNCTION_ERROR();
}

std::vector<ComputationPtr> OrvexBackendImpl::Compile(
    std::vector<ComputationPtr> instances) const {
  not_available_yet("compiling");
}

std::vector<BackendDataPtr> OrvexBackendImpl::ExecuteComputation(
    ComputationPtr computation, c10::ArrayRef<BackendDataPtr> arguments,
    const BackendDevice& device) const {
  not_available_yet("executing");
}

std::shared_ptr<BackendDeviceType> OrvexBackendImpl::GetDefaultDeviceType() const {
  PRINT_FUNCTION();
  return std::make_shared<OrvexBackendDeviceType>();
}

void OrvexBackendImpl::SetDefaultDeviceType(int8_t type) { UNIMPLEMENTED_FUNCTION_ERROR(); }

std::string OrvexBackendImpl::GetComputationBackendText(const ComputationPtr computation) const {
  not_available_yet("printing a computation");
}

OrvexBackendImpl* GetOrvexBackendImpl() {
  // Thread-safe creation; if the constructor throws, the next call tries again.
  static OrvexBackendImpl* orvex_backend_impl = new OrvexBackendImpl();
  return orvex_backend_impl;
}

MlirContext GetMlirContext() { return GetOrvexBackendImpl()->mlir_context; }

orvex::ApplianceMode* GetOrvexBackendAppliance() { return GetOrvexBackendImpl()->appliance.get(); }

void InitOrvexBackend() {
  static std::unique_ptr<BackendRegistrar> g_registrar;
  auto previous = std::move(g_registrar);
  g_registrar = std::make_unique<BackendRegistrar>(GetOrvexBackendImpl());
  previous.reset();

  at::RegisterTorchMlirLazyNativeFunctions();
  OrvexMetadata::init();
  LazyGraphExecutor::Register(GetOrvexLazyGraphExecutor());
}

}  // namespace lazy
}  // namespace torch

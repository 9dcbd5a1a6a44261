// The Orvex lazy-tensor backend: what LTC calls for everything device-specific.
#pragma once

#include <filesystem>
#include <memory>

#include <ATen/core/dispatch/Dispatcher.h>
#include <mlir-c/IR.h>

#include "appliance.h"
#include "backend_data.h"
#include "torch_mlir_ltc/backend_impl.h"

namespace torch {
namespace lazy {

class OrvexBackendImpl : public TorchMlirBackendImpl {
 public:
  OrvexBackendImpl();
  ~OrvexBackendImpl() override;

  void PrepareToExit() const override;
  void SetRngSeed(size_t seed) const override;

  BackendDataPtr MakeComputationDataFromTensor(const at::Tensor& tensor, const Shape& shape,
                                               const BackendDevice& device) const override;
  BackendDataPtr MakeComputationDataFromScalar(const at::Scalar& scalar,
                                               const BackendDevice& device) const override;
  BackendDataPtr CreateDataPlaceholder(const BackendDevice& device,
                                       const Shape& shape) const override;
  at::Tensor MakeTensorFromComputationData(
      const BackendDataPtr data,
      std::optional<at::ScalarType> logical_scalar_type) const override;

  std::unique_ptr<LoweringContext> CreateLoweringContext(
      const std::string& name, BackendDevice device,
      c10::ArrayRef<const torch::lazy::Node*> post_order,
      Util::EmissionMap emit_status) const override;
  std::unique_ptr<LoweringContext> CreateLoweringContext(const std::string& name,
                                                         BackendDevice device) const override;

  std::vector<std::string> GetCompilationDevices(const std::string& device,
                                                 c10::ArrayRef<std::string> devices) const override;
  std::vector<ComputationPtr> Compile(std::vector<ComputationPtr> instances) const override;
  std::vector<BackendDataPtr> ExecuteComputation(ComputationPtr computation,
                                                 c10::ArrayRef<BackendDataPtr> arguments,
                                                 const BackendDevice& device) const override;

  std::shared_ptr<BackendDeviceType> GetDefaultDeviceType() const override;
  void SetDefaultDeviceType(int8_t type) override;

  std::string GetComputationBackendText(const ComputationPtr computation) const override;

  // The record's data when the host holds it: in memory, in a data file, or a scalar. Dropped
  // data, deferred tensors and results of the appliance are refused with the reason.
  at::Tensor HostData(const BackendDataPtr& data, std::string* why) const override;

  MlirContext mlir_context;
  std::unique_ptr<orvex::ApplianceMode> appliance;
};

OrvexBackendImpl* GetOrvexBackendImpl();
MlirContext GetMlirContext();
orvex::ApplianceMode* GetOrvexBackendAppliance();
void InitOrvexBackend();
// Fails with a message that asks for initialize() until InitOrvexBackend has run: lazy data made
// before then cannot reach LTC's graph executor.
void RequireOrvexBackend();

// Reports an operator without a lazy kernel, with its arguments and the lazy graph behind them,
// and fails; registered as the fallback of the Lazy dispatch key.
void ltc_eager_fallback(const c10::OperatorHandle& op, std::vector<c10::IValue>* stack);
void register_ltc_eager_fallback();
// The report itself; a non-empty `reason` is written as its own line after the arguments.
[[noreturn]] void report_unsupported_operator(const c10::OperatorHandle& op,
                                              const std::vector<c10::IValue>& stack,
                                              const std::string& reason = "");

// Reads of a lazy value on the host (`.item()`, `bool(t)`): computed on the host from the graph
// behind the value when the host holds all the data it reads, reported as unsupported otherwise.
void host_scalar_read(const c10::OperatorHandle& op, std::vector<c10::IValue>* stack);
void register_host_scalar_reads();

// Writes `torch_mlir` to "torch.mlir" in `dir`, converts it with the external tool into "lumo.mlir"
// there, and returns the converted text.
std::string torch_to_lumo(std::string torch_mlir, std::filesystem::path dir);
// Starts the commands of torch_to_lumo for the folder `dir` before the module exists: they load
// while the step is traced, and the next torch_to_lumo for that folder hands them the module.
void StartConversion(std::filesystem::path dir);
// `text` quoted for the POSIX shell.
std::string shell_quote(const std::string& text);

// Attribute names of the lowered module's contract with the appliance.
extern const std::string kResourceAliasPosAttrName;
extern const std::string kResourceAttrName;
extern const std::string kParameterValueAttrName;
extern const std::string kInputNameAttrName;
extern const std::string kOutputNameAttrName;
extern const std::string kSeedAttrName;

}  // namespace lazy
}  // namespace torch

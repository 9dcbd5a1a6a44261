#include "lazy_graph_executor.h"

#include <ATen/Functions.h>
#include <torch/csrc/lazy/core/internal_ops/ltc_ops.h>
#include <torch/csrc/lazy/core/tensor_util.h>

#include "backend_impl.h"
#include "computation.h"
#include "ox_metadata.h"
#include "torch_mlir_ltc/backend_impl.h"
#include "torch_mlir_ltc/ops/device_data.h"
#include "torch_mlir_ltc/utils/debug.h"
#include "utils.h"

namespace torch {
namespace lazy {

bool retrace_every_iteration = true;

std::unordered_set<int64_t>& GetOutputIds() {
  static std::unordered_set<int64_t> output_ids;
  return output_ids;
}

std::unordered_map<int64_t, at::Tensor>& GetCachedOutputTensorMappings() {
  static std::unordered_map<int64_t, at::Tensor> cached_output_tensor_mappings;
  return cached_output_tensor_mappings;
}

std::vector<LazyTensorPtr>& GetOutputTensors() {
  static std::vector<LazyTensorPtr> output_tensors;
  return output_tensors;
}

std::vector<BackendDataPtr>& GetOutputTensorData() {
  static std::vector<BackendDataPtr> output_tensor_data;
  return output_tensor_data;
}

void OrvexLazyGraphExecutor::RegisterTensor(std::shared_ptr<LazyTensor::Data> data) {
  PRINT_FUNCTION();
  LazyGraphExecutor::RegisterTensor(data);
  // A lazy tensor never keeps an eager copy: its contents become backend data now.
  if (data->tensor_data) {
    data->handle = TensorToDataHandle(*data->tensor_data, data->device);
    data->tensor_data.reset();
  }
}

void OrvexLazyGraphExecutor::UnregisterTensor(LazyTensor::Data* data) {
  PRINT_FUNCTION();
  LazyGraphExecutor::UnregisterTensor(data);
}

namespace {
void RefuseStepInsideCallback() {
  if (GetOrvexBackendAppliance()->in_callback()) {
    throw std::runtime_error(
        "torch._lazy.mark_step() cannot run inside the compile or execute callback: the step that "
        "called the callback is still running. Return from the callback first.");
  }
}
}  // namespace

void OrvexLazyGraphExecutor::SyncLiveTensorsGraph(const BackendDevice* device,
                                                  c10::ArrayRef<std::string> devices, bool wait) {
  RefuseStepInsideCallback();
  LazyGraphExecutor::SyncLiveTensorsGraph(device, devices, wait);
}

void OrvexLazyGraphExecutor::MarkStep(const BackendDevice& device) {
  RefuseStepInsideCallback();
  LazyGraphExecutor::MarkStep(device);
}

void OrvexLazyGraphExecutor::TensorCollectionBarrier(SyncTensorCollection* coll) {
  RefuseStepInsideCallback();
  LazyGraphExecutor::TensorCollectionBarrier(coll);
}

bool OrvexLazyGraphExecutor::ShouldSyncTensor(const LazyTensorPtr& tensor) const {
  RefuseStepInsideCallback();
  static CachedOrvexComputation* cache = GetCachedOrvexComputation();
  const auto& output_ids = GetOutputIds();
  const int64_t id = tensor->GetUniqueId();
  Value value = tensor->GetIrValue();
  bool sync;
  if (cache->latest_hash() != 0) {
    sync = output_ids.count(id) > 0;
  } else {
    sync = output_ids.count(id) > 0 || value->op() != ltc_not_supported;
  }
  const bool trace = mFwLtcTrace.will_print();
  if (!sync) {
    mFwLtcTrace(trace) << "Not syncing tensor [" << id << "]: " << (trace ? value->ToString() : "");
    return false;
  }
  GetOutputTensors().push_back(tensor);
  mFwLtcTrace(trace) << "Syncing tensor [" << id << "]: " << (trace ? value->ToString() : "");
  DeviceData* device_data = device_data_cast(value);
  GetOutputTensorData().push_back(device_data ? device_data->data() : nullptr);
  return true;
}

OrvexLazyGraphExecutor* GetOrvexLazyGraphExecutor() {
  static OrvexLazyGraphExecutor* orvex_lazy_graph_executor = new OrvexLazyGraphExecutor();
  return orvex_lazy_graph_executor;
}

at::Tensor MarkOutputTensor(at::Tensor tensor, bool force) {
  auto& output_ids = GetOutputIds();
  auto& cached_mappings = GetCachedOutputTensorMappings();

  auto device = GetBackendDevice(tensor);
  TORCH_CHECK(device);
  LazyTensorPtr lazy = GetLtcTensorOrCreateForWrappedNumber(tensor, *device);
  Value value = lazy->GetIrValue();
  const int64_t id = lazy->GetUniqueId();
  if (!value.node) {
    mFwLtcFatal << "Cannot pass tensor " << id
                << " to a step closure as it is not a traced lazy tensor. One potential fix is to "
                   "perform an identity operation on the tensor (e.g., multiply by 1) before "
                   "passing it into a step closure.";
  }

  // Node texts are long: built only when the debug level is on.
  const bool debug = mFwLtcDebug.will_print();
  auto text = [debug](const Value& v) { return debug ? v->ToString() : std::string(); };

  if (force) {
    auto cached = cached_mappings.find(id);
    if (cached != cached_mappings.end()) {
      mFwLtcDebug(debug) << "Using cached tensor ["
                         << TryGetLtcTensor(cached->second)->GetUniqueId()
                         << "] for marking tensor [" << id << "]: " << text(value)
                  << " as an output.";
      return cached->second;
    }
    at::Tensor replacement = at::reshape(tensor, tensor.sizes());
    MarkOutputTensor(replacement);
    cached_mappings[id] = replacement;
    LazyTensorPtr lazy_replacement = TryGetLtcTensor(replacement);
    mFwLtcDebug(debug) << "Marked tensor [" << lazy_replacement->GetUniqueId()
                       << "]: " << text(lazy_replacement->GetIrValue())
                       << " as output in place of the original tensor [" << id
                       << "]: " << text(value) << ".";
    return replacement;
  }

  if (DeviceData* device_data = device_data_cast(value)) {
    if (OrvexMetadata::get(device_data)->uses.empty()) {
      mFwLtcDebug(debug) << "Did not mark [" << id << "]: " << text(value)
                         << " as an output as it has no uses.";
      return tensor;
    }
    auto* mlir_data = dynamic_cast<TorchMlirBackendData*>(device_data->data().get());
    TORCH_CHECK(mlir_data);
    auto* info = mlir_data->mlir_info();
    TORCH_CHECK(info);
    if (lazy->CurrentDataHandle()) {
      // Drops the handle: the tensor is then backed by its device-data node, so that LTC's sync
      // collection (which skips tensors holding a handle) asks whether to sync it.
      lazy->SetIrValue(lazy->GetIrValue());
    }
  }
  if (BackendDataPtr handle = lazy->CurrentDataHandle()) {
    OrvexMetadata::get(value.node.get())->data = handle;
  }
  if (output_ids.count(id)) {
    mFwLtcDebug(debug) << "Did not mark [" << id << "]: " << text(value)
                       << " as an output since it is a duplicate.";
    return tensor;
  }
  output_ids.insert(id);
  mFwLtcDebug(debug) << "Marked [" << id << "]: " << text(value) << " as an output.";
  return tensor;
}

void MarkOutputTensor(at::Tensor tensor) { MarkOutputTensor(std::move(tensor), false); }

}  // namespace lazy
}  // namespace torch

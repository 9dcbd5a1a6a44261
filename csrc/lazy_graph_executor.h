// The backend's graph executor: turns new lazy tensors into backend data at once, decides which
// tensors a step computes, and marks step outputs.
#pragma once

#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <torch/csrc/lazy/core/lazy_graph_executor.h>

namespace torch {
namespace lazy {

class OrvexLazyGraphExecutor : public LazyGraphExecutor {
 public:
  ~OrvexLazyGraphExecutor() override = default;
  void RegisterTensor(std::shared_ptr<LazyTensor::Data> data) override;
  void UnregisterTensor(LazyTensor::Data* data) override;
  // A step cannot start inside a compile or execute callback: the step that runs the callback
  // holds the device. These refuse instead of waiting for it for ever.
  void SyncLiveTensorsGraph(const BackendDevice* device, c10::ArrayRef<std::string> devices,
                            bool wait) override;
  void MarkStep(const BackendDevice& device) override;

 protected:
  void TensorCollectionBarrier(SyncTensorCollection* coll) override;

 private:
  // Until the first execution: LTC's own policy widened by the marked outputs. Afterwards:
  // only the marked outputs. Records what it agrees to sync in the step registries.
  bool ShouldSyncTensor(const LazyTensorPtr& tensor) const override;
};

OrvexLazyGraphExecutor* GetOrvexLazyGraphExecutor();

// Step registries, filled while a step is traced and synced, emptied by execution.
std::unordered_set<int64_t>& GetOutputIds();
std::unordered_map<int64_t, at::Tensor>& GetCachedOutputTensorMappings();
std::vector<LazyTensorPtr>& GetOutputTensors();
std::vector<BackendDataPtr>& GetOutputTensorData();

// Marks `tensor` as an output of the step's graph. With `force`, an identity copy of the tensor
// is marked in its place (once per step) and returned.
at::Tensor MarkOutputTensor(at::Tensor tensor, bool force);
void MarkOutputTensor(at::Tensor tensor);

// Whether the end of every execution clears the cached output-tensor mappings.
extern bool retrace_every_iteration;

}  // namespace lazy
}  // namespace torch

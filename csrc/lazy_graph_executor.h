// The backend's graph executor: turns new lazy tensors into backend data at once and decides which
// tensors a step computes.
#pragma once

#include <torch/csrc/lazy/core/lazy_graph_executor.h>

namespace torch {
namespace lazy {

class OrvexLazyGraphExecutor : public LazyGraphExecutor {
 public:
  ~OrvexLazyGraphExecutor() override = default;
  void RegisterTensor(std::shared_ptr<LazyTensor::Data> data) override;
  void UnregisterTensor(LazyTensor::Data* data) override;
};

OrvexLazyGraphExecutor* GetOrvexLazyGraphExecutor();

// Whether the end of every execution clears the cached output-tensor mappings.
extern bool retrace_every_iteration;

}  // namespace lazy
}  // namespace torch

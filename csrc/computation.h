// The process's one program: whether a step ran, the compiled computation, the names of its
// inputs and weights, and the data of its results.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <torch/csrc/lazy/backend/backend_data.h>
#include <torch/csrc/lazy/backend/lowering_context.h>

#include "backend_data.h"

namespace torch {
namespace lazy {

class CachedOrvexComputation {
 public:
  // 0 until the first execution records a value.
  int64_t latest_hash() const { return latest_hash_; }
  void set_hash(int64_t hash) { latest_hash_ = hash; }

  bool has_computation() const { return computation_ != nullptr; }
  void set_computation(ComputationPtr computation) { computation_ = std::move(computation); }
  const ComputationPtr get_computation() const { return computation_; }

  // Record names in argument order, every "." replaced by "_".
  const std::vector<std::string>& input_order() const { return input_order_; }
  const std::vector<std::string>& weight_names() const { return weight_names_; }
  void set_input_order(const std::vector<ApplianceDataInfo*>& infos);
  void set_weight_names(const std::vector<ApplianceDataInfo*>& infos);

  const std::vector<BackendDataPtr>& output_data() const { return output_data_; }
  void set_output_data(const std::vector<BackendDataPtr>& data);

 private:
  int64_t latest_hash_ = 0;
  ComputationPtr computation_;
  std::vector<std::string> input_order_;
  std::vector<std::string> weight_names_;
  std::vector<BackendDataPtr> output_data_;
};

CachedOrvexComputation* GetCachedOrvexComputation();

}  // namespace lazy
}  // namespace torch

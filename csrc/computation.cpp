#include "computation.h"

#include <algorithm>

namespace torch {
namespace lazy {

namespace {
void fill_names(std::vector<std::string>& names, const std::vector<ApplianceDataInfo*>& infos) {
  names.clear();
  names.reserve(infos.size());
  for (const ApplianceDataInfo* info : infos) {
    TORCH_CHECK(info != nullptr, "Expected a data record, got none");
    std::string name = info->name;
    std::replace(name.begin(), name.end(), '.', '_');
    names.push_back(std::move(name));
  }
}
}  // namespace

void CachedOrvexComputation::set_input_order(const std::vector<ApplianceDataInfo*>& infos) {
  fill_names(input_order_, infos);
}

void CachedOrvexComputation::set_weight_names(const std::vector<ApplianceDataInfo*>& infos) {
  fill_names(weight_names_, infos);
}

void CachedOrvexComputation::set_output_data(const std::vector<BackendDataPtr>& data) {
  if (&data != &output_data_) output_data_ = data;
}

CachedOrvexComputation* GetCachedOrvexComputation() {
  static CachedOrvexComputation cache;
  return &cache;
}

}  // namespace lazy
}  // namespace torch

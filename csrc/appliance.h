// The appliance state the Python front end hands us: callbacks, directories and the program seed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

namespace torch {
namespace lazy {
class ApplianceDataInfo;
}  // namespace lazy
}  // namespace torch

namespace orvex {

class ApplianceMode {
 public:
  using compile_callback = std::function<bool(int64_t, const std::string&)>;
  using execute_callback = std::function<std::unordered_set<std::string>(
      int64_t, const std::vector<torch::lazy::ApplianceDataInfo*>&)>;

  void set_callbacks(compile_callback compile, execute_callback execute);
  // Both throw std::bad_function_call while no callback is set.
  bool compile(int64_t batch_size, const std::string& program);
  std::unordered_set<std::string> execute(
      int64_t batch_size, const std::vector<torch::lazy::ApplianceDataInfo*>& weights);

  // Empty artifact_dir means "."; empty device_data_dir means the artifact directory. Missing
  // directories are created with their parents.
  void set_artifact_dirs(const std::string& artifact_dir, const std::string& device_data_dir);
  std::string get_artifact_dir() const { return artifact_dir_; }
  std::string get_device_data_dir() const { return device_data_dir_; }

  void set_rng_seed(uint64_t seed) { seed_ = seed; }
  uint64_t seed() const { return seed_; }

  // Whether a callback is running: the step that called it holds the device, so a step started
  // from inside the callback could never begin.
  bool in_callback() const { return callbacks_running_.load() > 0; }

 private:
  std::string artifact_dir_;
  std::string device_data_dir_;
  uint64_t seed_ = 0;
  compile_callback compile_callback_;
  execute_callback execute_callback_;
  std::atomic<int> callbacks_running_{0};
};

}  // namespace orvex

namespace torch {
namespace lazy {
// The scope name every new IR node records.
extern std::string g_scope_name;
}  // namespace lazy
}  // namespace torch

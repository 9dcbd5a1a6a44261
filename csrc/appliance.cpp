#include "appliance.h"

#include <filesystem>

#include "utils.h"

namespace orvex {

void ApplianceMode::set_callbacks(compile_callback compile, execute_callback execute) {
  compile_callback_ = std::move(compile);
  execute_callback_ = std::move(execute);
}

bool ApplianceMode::compile(int64_t batch_size, const std::string& program) {
  return compile_callback_(batch_size, program);
}

std::unordered_set<std::string> ApplianceMode::execute(
    int64_t batch_size, const std::vector<torch::lazy::ApplianceDataInfo*>& weights) {
  return execute_callback_(batch_size, weights);
}

namespace {
void ensure_directory(const std::string& dir) {
  if (std::filesystem::exists(dir)) return;  // whatever it is
  // create_directories can report "nothing created" for a path with a trailing separator even
  // though it made the directory; only a directory that is really missing is an error.
  if (!std::filesystem::create_directories(dir) && !std::filesystem::is_directory(dir)) {
    mFwLtcFatal << "Failed to create directory: " << dir;
  }
}
}  // namespace

void ApplianceMode::set_artifact_dirs(const std::string& artifact_dir,
                                      const std::string& device_data_dir) {
  artifact_dir_ = artifact_dir.empty() ? "." : artifact_dir;
  device_data_dir_ = device_data_dir.empty() ? artifact_dir_ : device_data_dir;
  ensure_directory(artifact_dir_);
  ensure_directory(device_data_dir_);
}

}  // namespace orvex

namespace torch {
namespace lazy {
std::string g_scope_name;
}  // namespace lazy
}  // namespace torch

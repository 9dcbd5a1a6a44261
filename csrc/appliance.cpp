#include "appliance.h"

#include <filesystem>

#include "utils.h"

namespace orvex {

void ApplianceMode::set_callbacks(compile_callback compile, execute_callback execute) {
  compile_callback_ = std::move(compile);
  execute_callback_ = std::move(execute);
}

namespace {
class Running {
 public:
  explicit Running(std::atomic<int>& count) : count_(count) { ++count_; }
  ~Running() { --count_; }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  std::atomic<int>& count_;
};
}  // namespace

bool ApplianceMode::compile(int64_t batch_size, const std::string& program) {
  Running running(callbacks_running_);
  return compile_callback_(batch_size, program);
}

std::unordered_set<std::string> ApplianceMode::execute(
    int64_t batch_size, const std::vector<torch::lazy::ApplianceDataInfo*>& weights) {
  Running running(callbacks_running_);
  return execute_callback_(batch_size, weights);
}

namespace {
// A path the data files and program files can go below: no NUL (the file system would cut the
// path there, and every file would land in one place), and nothing but a directory if it exists.
void check_directory(const std::string& dir) {
  if (dir.find('\0') != std::string::npos) {
    mFwLtcFatal << "Invalid directory \"" << dir.substr(0, dir.find('\0'))
                << "\\0...\": a path must not contain a NUL character.";
  }
  std::error_code error;
  const auto status = std::filesystem::status(dir, error);
  if (std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
    mFwLtcFatal << "Cannot use \"" << dir << "\" as a directory: it exists and is not a directory.";
  }
}

void ensure_directory(const std::string& dir) {
  if (std::filesystem::is_directory(dir)) return;
  // create_directories can report "nothing created" for a path with a trailing separator even
  // though it made the directory; only a directory that is really missing is an error.
  if (!std::filesystem::create_directories(dir) && !std::filesystem::is_directory(dir)) {
    mFwLtcFatal << "Failed to create directory: " << dir;
  }
}
}  // namespace

void ApplianceMode::set_artifact_dirs(const std::string& artifact_dir,
                                      const std::string& device_data_dir) {
  const std::string artifacts = artifact_dir.empty() ? "." : artifact_dir;
  const std::string device_data = device_data_dir.empty() ? artifacts : device_data_dir;
  // Both are checked before anything changes.
  check_directory(artifacts);
  check_directory(device_data);
  ensure_directory(artifacts);
  ensure_directory(device_data);
  artifact_dir_ = artifacts;
  device_data_dir_ = device_data;
}

}  // namespace orvex

namespace torch {
namespace lazy {
std::string g_scope_name;
}  // namespace lazy
}  // namespace torch

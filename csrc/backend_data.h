// The host-data record of a lazy tensor and the storage behind it: in memory, in a data file
// written in the background, or (for deferred tensors) the tensor object without its host memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "torch_mlir_ltc/backend_impl.h"

namespace torch {
namespace lazy {

class ApplianceDataInfo : public TorchMlirBackendData::Info,
                          public std::enable_shared_from_this<ApplianceDataInfo> {
 public:
  // Process-wide settings of the data store, changed in place from Python.
  struct Config {
    bool enabled = false;
    int64_t max_bytes_in_memory = 4000000000;
    int64_t max_tensor_size = 10000000;
    int64_t stream_buffer_size = 8000;
    bool async_file_write = true;
    int32_t max_async_file_writes = 10;
    bool delete_file_on_destruct = true;

    void repr(std::ostream& out) const;
    std::string str() const;
  };

  // Where the data of a record lives.
  class Impl {
   public:
    virtual at::Tensor get_tensor() const = 0;
    virtual ~Impl() = default;
  };

  static Config config;

  // An empty record: placeholders and results.
  ApplianceDataInfo();
  explicit ApplianceDataInfo(c10::Scalar scalar);
  // Keeps, files, defers or drops the tensor's data according to `config`.
  explicit ApplianceDataInfo(at::Tensor tensor);
  // A new record with a fresh name and its own copy of the other record's data.
  ApplianceDataInfo(const ApplianceDataInfo& other);
  ApplianceDataInfo(ApplianceDataInfo&& other) = default;
  virtual ~ApplianceDataInfo();

  // Uses the storage of `other` from now on.
  void share_storage(const ApplianceDataInfo& other);

  // The backing tensor; fails when the record has no data.
  at::Tensor get_tensor() const;
  bool has_tensor() const { return impl_ != nullptr; }
  // The data file of a file-backed record.
  std::optional<std::string> get_filename() const;

  // Bytes held by live memory-backed storage and bytes in data files not yet deleted.
  static int64_t get_total_bytes_in_memory();
  static int64_t get_total_bytes_in_files();

  bool is_weight = false;
  std::shared_ptr<Impl> impl_;
};

// Host data kept as the given tensor (sharing the caller's storage).
class MemoryInfo : public ApplianceDataInfo::Impl {
 public:
  explicit MemoryInfo(at::Tensor tensor);
  at::Tensor get_tensor() const override { return tensor_; }
  ~MemoryInfo() override;

 private:
  at::Tensor tensor_;
};

// A tensor of the front end's deferred classes: kept as the tensor object, host memory released.
class DeferredInfo : public ApplianceDataInfo::Impl {
 public:
  explicit DeferredInfo(at::Tensor tensor);
  at::Tensor get_tensor() const override { return tensor_; }
  ~DeferredInfo() override = default;

 private:
  at::Tensor tensor_;
};

// Host data moved into a data file by a background write, mapped back on demand.
class FileInfo : public ApplianceDataInfo::Impl {
 public:
  explicit FileInfo(at::Tensor tensor);
  // Copies the other record's file into a new one.
  FileInfo(const FileInfo& other);
  ~FileInfo() override;

  at::Tensor get_tensor() const override;
  std::string get_filename() const { return filename_; }
  // Waits for the write or copy; with `get` its result is taken and an error of it raised.
  void wait_for_write(bool get) const;
  // Fails unless the data file is there with exactly the tensor's bytes.
  void check_file() const;

 private:
  // Runs `write` in the background once a write unit is free (waiting for one without the
  // interpreter lock); with `wait` waits for it and raises its error.
  template <typename Write>
  void start_write(Write write, bool wait);

  int64_t size_ = 0;
  int64_t numel_ = 0;
  std::vector<int64_t> sizes_;
  c10::TensorOptions options_;
  std::string filename_;
  // Bytes this file added to the file counter; only a completed write or copy adds them.
  std::atomic<int64_t> counted_bytes_{0};
  // Set when the write or copy failed; its partial file is already gone.
  std::atomic<bool> write_failed_{false};
  mutable std::future<void> write_file_;
};

class OrvexBackendDeviceType : public BackendDeviceType {
 public:
  std::string toString() const override { return "VXD"; }
};

}  // namespace lazy
}  // namespace torch

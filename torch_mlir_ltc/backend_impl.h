// Base classes of the lazy backend: backend data and the backend implementation.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include <torch/csrc/lazy/backend/backend_data.h>
#include <torch/csrc/lazy/backend/backend_device.h>
#include <torch/csrc/lazy/backend/backend_interface.h>
#include <torch/csrc/lazy/core/shape.h>

namespace torch {
namespace lazy {

class TorchMlirBackendData : public BackendData {
 public:
  // The backend's own record of the data. LTC keeps its own bookkeeping in the BackendData info slot
  // (SetInfo), so this record lives apart from it.
  struct Info : public BackendData::Info {
    at::Tensor tensor;
    std::optional<at::Scalar> scalar;
    bool requires_grad = false;
    std::string name;

    // Default name: "placeholder" and a process-wide running number.
    Info();
    Info(const Info& other) = default;
    explicit Info(const at::Tensor& t);
    explicit Info(const at::Scalar& s);
  };

  TorchMlirBackendData(BackendDevice device, Shape shape, std::shared_ptr<Info> info);

  Handle GetHandle() override { return reinterpret_cast<Handle>(this); }
  // Takes over the other data's record.
  void Assign(const BackendData& data) override;
  bool HasValue() const override;

  Info* mlir_info() const { return info_.get(); }
  std::shared_ptr<Info> mlir_info_ptr() const { return info_; }

  // Data of an empty tensor: its contents are undefined (a graph reads only its shape and dtype,
  // as the target of a fill or a copy).
  bool uninitialized() const { return uninitialized_; }
  void set_uninitialized(bool uninitialized) { uninitialized_ = uninitialized; }

 protected:
  std::shared_ptr<Info> info_;
  bool uninitialized_ = false;
};

// While one lives on the thread, host tensors that become lazy data are constants the capture
// made on the host (PyTorch's tensor constructors, e.g. the index tensor of `x[[1, 2]]` or the
// `torch.tensor(...)` of a composite): their data is kept whatever the data store's setting, as
// the program embeds it.
class HostConstantScope {
 public:
  HostConstantScope() { ++depth_; }
  ~HostConstantScope() { --depth_; }
  HostConstantScope(const HostConstantScope&) = delete;
  HostConstantScope& operator=(const HostConstantScope&) = delete;
  static bool active() { return depth_ > 0; }

 private:
  static thread_local int depth_;
};

class TorchMlirBackendImpl : public BackendImplInterface {
 public:
  const IrBuilder* GetIrBuilder() const override;
  BackendDataPtr GetComputationDataFromNode(const Node* node) const override;
  int64_t GetDefaultDeviceOrdinal() const override { return default_device_ordinal_; }
  void SetDefaultDeviceOrdinal(int64_t ordinal) override { default_device_ordinal_ = ordinal; }
  at::DeviceType EagerFallbackDeviceType() const override { return at::DeviceType::CPU; }
  // The host's copy of the value of `data`; an undefined tensor, with the reason in `*why`, when
  // the host does not hold it. This base reads the record's scalar or tensor.
  virtual at::Tensor HostData(const BackendDataPtr& data, std::string* why) const;
  std::vector<BackendDevice> GetBackendDevices() const override;
  BackendDevice GetBackendDevice(c10::Device device) const override;

 protected:
  int64_t default_device_ordinal_ = 0;
};

}  // namespace lazy
}  // namespace torch

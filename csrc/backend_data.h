// The host-data record of a lazy tensor.
#pragma once

#include <memory>

#include "torch_mlir_ltc/backend_impl.h"

namespace torch {
namespace lazy {

class ApplianceDataInfo : public TorchMlirBackendData::Info,
                          public std::enable_shared_from_this<ApplianceDataInfo> {
 public:
  ApplianceDataInfo() = default;
};

class OrvexBackendDeviceType : public BackendDeviceType {
 public:
  std::string toString() const override { return "VXD"; }
};

}  // namespace lazy
}  // namespace torch

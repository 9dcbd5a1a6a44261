// Backend operations that Python cannot reach directly.
#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <unistd.h>

#include <filesystem>

#include <torch/csrc/lazy/core/tensor.h>

#include "appliance.h"
#include "backend_impl.h"
#include "test_util.h"
#include "torch_mlir_ltc/backend_impl.h"

namespace py = pybind11;
using namespace torch::lazy;

using orvex_test::error_text;

TEST(Backend, SingletonAndContextExistBeforeRegistration) {
  OrvexBackendImpl* backend = GetOrvexBackendImpl();
  EXPECT_EQ(backend, GetOrvexBackendImpl());
  EXPECT_FALSE(mlirContextIsNull(GetMlirContext()));
  EXPECT_EQ(GetMlirContext().ptr, backend->mlir_context.ptr);
  EXPECT_EQ(GetOrvexBackendAppliance(), backend->appliance.get());
  EXPECT_TRUE(mlirContextGetAllowUnregisteredDialects(GetMlirContext()));
  EXPECT_EQ(backend->GetDefaultDeviceType()->toString(), "VXD");
  EXPECT_EQ(backend->GetDefaultDeviceType()->type, 0);
}

TEST(Backend, MaterialisingDataIsRefused) {
  OrvexBackendImpl* backend = GetOrvexBackendImpl();
  BackendDevice device(backend->GetDefaultDeviceType(), 0);
  auto data = backend->CreateDataPlaceholder(device, Shape(c10::kFloat, {2}));
  std::string text = error_text([&] { backend->MakeTensorFromComputationData(data, std::nullopt); });
  EXPECT_EQ(text.rfind("Orvex backend has detected MakeTensorFromComputationData call outside of "
                       "step_closure.\nStack Trace: \n", 0),
            0u)
      << text;
}

TEST(Backend, ScalarAndPlaceholderData) {
  OrvexBackendImpl* backend = GetOrvexBackendImpl();
  BackendDevice device(backend->GetDefaultDeviceType(), 0);
  struct Case {
    at::Scalar scalar;
    c10::ScalarType type;
  };
  for (const auto& c : {Case{at::Scalar(1.5), c10::kDouble}, Case{at::Scalar(int64_t(3)), c10::kLong},
                        Case{at::Scalar(true), c10::kBool},
                        Case{at::Scalar(c10::complex<double>(1, 2)), c10::kComplexDouble}}) {
    auto data = backend->MakeComputationDataFromScalar(c.scalar, device);
    EXPECT_EQ(data->shape().scalar_type(), c.type);
    EXPECT_TRUE(data->shape().sizes().empty());
    auto* info = dynamic_cast<TorchMlirBackendData*>(data.get())->mlir_info();
    ASSERT_TRUE(info->scalar.has_value());
    EXPECT_TRUE(info->name.empty());
  }
  auto placeholder = backend->CreateDataPlaceholder(device, Shape(c10::kFloat, {2, 3}));
  auto* info = dynamic_cast<ApplianceDataInfo*>(
      dynamic_cast<TorchMlirBackendData*>(placeholder.get())->mlir_info());
  ASSERT_NE(info, nullptr);
  EXPECT_FALSE(info->has_tensor());
  EXPECT_EQ(info->name.rfind("placeholder", 0), 0u);
  EXPECT_EQ(placeholder->shape(), Shape(c10::kFloat, {2, 3}));
}

TEST(Backend, MovedTensorHoldsBackendDataAndNoHostCopy) {
  py::module_::import("orvex_pytorch_lib").attr("initialize")();
  at::Tensor host = at::arange(6, at::kFloat).reshape({2, 3});
  at::Tensor lazy = host.to(c10::Device(c10::kLazy));
  LazyTensorPtr ltc = TryGetLtcTensor(lazy);
  ASSERT_TRUE(ltc);
  EXPECT_TRUE(ltc->CurrentDataHandle() != nullptr);
  EXPECT_FALSE(ltc->CurrentTensorData().has_value());
  EXPECT_EQ(ltc->shape().Get(), Shape(c10::kFloat, {2, 3}));
}

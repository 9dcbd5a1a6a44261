// Lowering of lazy graphs into torch-dialect MLIR: the lowering context and its computation, the
// computation cache, and the MLIR helpers.
#include <gtest/gtest.h>
#include <pybind11/embed.h>
#include <mlir-c/BuiltinAttributes.h>
#include <mlir-c/BuiltinTypes.h>
#include <torch/csrc/jit/ir/ir.h>
#include <torch/csrc/jit/runtime/graph_executor.h>
#include <torch/csrc/lazy/core/debug_util.h>
#include <torch/csrc/lazy/core/ir_builder.h>
#include <torch/csrc/lazy/core/ir_util.h>
#include <torch/csrc/lazy/core/tensor.h>
#include <torch/torch.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "backend_impl.h"
#include "computation.h"
#include "lowering_context.h"
#include "mlir_utils.h"
#include "ox_metadata.h"
#include "torch_mlir_ltc/mlir_dialects.h"
#include "torch_mlir_ltc/mlir_import.h"
#include "torch_mlir_ltc/ops/builtin_nodes.h"
#include "torch_mlir_ltc/ops/device_data.h"

namespace py = pybind11;
using namespace torch::lazy;

namespace {

template <typename T, typename Print>
std::string print_with(T value, Print fn) {
  std::string s;
  fn(value, [](MlirStringRef r, void* u) { static_cast<std::string*>(u)->append(r.data, r.length); }, &s);
  return s;
}
std::string print(MlirType type) { return print_with(type, mlirTypePrint); }
std::string print(MlirAttribute attr) { return print_with(attr, mlirAttributePrint); }
bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class LoweringTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { py::module_::import("orvex_pytorch_lib").attr("initialize")(); }
  static BackendImplInterface* impl() { return GetOrvexBackendImpl(); }
  BackendDevice device() const { return impl()->GetBackendDevice(c10::Device(c10::kLazy, 0)); }

  BackendDataPtr data(const at::Tensor& t, const std::string& name = "") {
    auto d = impl()->MakeComputationDataFromTensor(t, Shape(t.scalar_type(), t.sizes()), device());
    std::dynamic_pointer_cast<TorchMlirBackendData>(d)->mlir_info()->name = name;
    return d;
  }
  BackendDataPtr scalar_data(const at::Scalar& s) { return impl()->MakeComputationDataFromScalar(s, device()); }
  static Value leaf(const BackendDataPtr& d) { return Value(MakeNode<DeviceData>(d), 0); }
  static Value op(c10::Symbol sym, std::vector<Value> operands, const Shape& shape) {
    return Value(MakeNode<Generic>(OpKind(sym), OpList(operands), shape), 0);
  }

  // Lowers the graph of `roots` as LTC's executor does at a step boundary.
  std::unique_ptr<OrvexLoweringContext> lower(const std::vector<Value>& roots) {
    std::vector<const Node*> nodes;
    for (const Value& v : roots) nodes.push_back(v.node.get());
    Util::EmissionMap emap;
    post_order_ = Util::ComputePostOrder(nodes, &emap);
    std::unique_ptr<OrvexLoweringContext> ctx(dynamic_cast<OrvexLoweringContext*>(
        impl()->CreateLoweringContext("SyncTensorsGraph", device(), post_order_, emap).release()));
    for (const Value& v : roots) ctx->AddResult(Output(v.node.get(), v.index));
    return ctx;
  }
  std::vector<const Node*> post_order_;

  static std::shared_ptr<OrvexComputation> build(LoweringContext& ctx) {
    auto computation = std::dynamic_pointer_cast<OrvexComputation>(ctx.Build());
    EXPECT_NE(computation, nullptr);
    return computation;
  }

  // The module text must parse again in a fresh context.
  static void expect_reparses(const std::string& text) {
    MlirContext ctx = mlirContextCreate();
    torchMlirRegisterAllDialects(ctx);
    MlirModule m = mlirModuleCreateParse(ctx, mlirStringRefCreate(text.data(), text.size()));
    EXPECT_FALSE(mlirModuleIsNull(m)) << text;
    if (!mlirModuleIsNull(m)) mlirModuleDestroy(m);
    mlirContextDestroy(ctx);
  }
};

TEST_F(LoweringTest, ArgumentsFollowPostOrderOnePerDistinctData) {
  at::Tensor x = torch::randn({2, 3}), y = torch::randn({2, 3});
  BackendDataPtr dx = data(x), dy = data(y);
  Value px = leaf(dx), py_ = leaf(dy), px_again = leaf(dx);  // two nodes hold the same data
  Shape s(at::kFloat, {2, 3});
  Value mul = op(at::aten::mul, {py_, px}, s);
  Value relu = op(at::aten::relu, {op(at::aten::add, {mul, px_again}, s)}, s);
  auto ctx = lower({relu, mul});
  // The context builds in the backend's context; one parameter per distinct data, in post order.
  EXPECT_EQ(ctx->mlir_context().ptr, GetMlirContext().ptr);
  std::vector<BackendDataPtr> expected;
  const Node* last_x = nullptr;  // device-data metadata by handle: the later node of the same data wins
  for (const Node* node : post_order_) {
    const DeviceData* d = DeviceData::Cast(node);
    if (d && std::find(expected.begin(), expected.end(), d->data()) == expected.end()) expected.push_back(d->data());
    if (d && d->data() == dx) last_x = node;
  }
  EXPECT_EQ(ctx->GetParametersData(), expected);
  ASSERT_EQ(ctx->parameters_metadata().size(), 2u);
  EXPECT_EQ(ctx->parameters_metadata().at(dx->GetHandle()).get(), OrvexMetadata::get(last_x));
  EXPECT_EQ(ctx->parameters_metadata().at(dy->GetHandle()).get(), OrvexMetadata::get(py_.node));
  auto computation = build(*ctx);
  EXPECT_EQ(computation->get_parameters(), expected);
  const std::string text = computation->to_string();
  EXPECT_TRUE(has(text, "func.func @main(%arg0: !torch.vtensor<[2,3],f32>, %arg1: !torch.vtensor<[2,3],f32>)"
                        " -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>)")) << text;
  expect_reparses(text);
  // Every argument has an empty attribute dictionary.
  MlirAttribute attrs =
      mlirOperationGetAttributeByName(computation->func_op(), mlirStringRefCreateFromCString("arg_attrs"));
  ASSERT_EQ(mlirArrayAttrGetNumElements(attrs), 2);
  EXPECT_EQ(mlirDictionaryAttrGetNumElements(mlirArrayAttrGetElement(attrs, 0)), 0);
  // The graph computes on the host what eager PyTorch computes: both uses of x read one argument.
  torch::jit::Stack stack;
  for (const BackendDataPtr& d : computation->get_parameters()) stack.emplace_back(d == dx ? x : y);
  torch::jit::GraphExecutor(computation->graph()->copy(), "check").run(stack);
  ASSERT_EQ(stack.size(), 2u);
  EXPECT_TRUE(torch::allclose(stack[0].toTensor(), torch::relu(y * x + x)));
  EXPECT_TRUE(torch::allclose(stack[1].toTensor(), y * x));
}

// A tensor moved to the device is backend data; LTC keeps no host copy of it beside the record.
TEST_F(LoweringTest, MovedTensorHoldsBackendDataAndNoHostCopy) {
  at::Tensor lazy = at::arange(6, at::kFloat).reshape({2, 3}).to(c10::Device(c10::kLazy));
  LazyTensorPtr ltc = TryGetLtcTensor(lazy);
  ASSERT_TRUE(ltc);
  EXPECT_TRUE(ltc->CurrentDataHandle() != nullptr);
  EXPECT_FALSE(ltc->CurrentTensorData().has_value());
  EXPECT_EQ(ltc->shape().Get(), Shape(c10::kFloat, {2, 3}));
}

// Hands out memory that is overwritten when given back and never reused, so that reading a node
// after its end sees garbage instead of the value it had.
template <typename T>
struct ScribblingAllocator {
  using value_type = T;
  ScribblingAllocator() = default;
  template <typename U>
  ScribblingAllocator(const ScribblingAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, size_t n) {
    std::memset(static_cast<void*>(p), 0xAB, n * sizeof(T));
    graveyard().push_back(p);  // kept until the process ends
  }
  static std::vector<void*>& graveyard() {
    static std::vector<void*> kept;
    return kept;
  }
  template <typename U>
  bool operator==(const ScribblingAllocator<U>&) const { return true; }
  template <typename U>
  bool operator!=(const ScribblingAllocator<U>&) const { return false; }
};

TEST_F(LoweringTest, UsesOfLongLivedDataSurviveTheirConsumers) {
  // A weight's node outlives the nodes of every step that read it; its uses must still order and
  // deduplicate correctly once those consumers are gone.
  Value w = leaf(data(torch::ones({2})));
  Shape s(at::kFloat, {2});
  std::allocate_shared<Generic>(ScribblingAllocator<Generic>(), OpKind(at::aten::neg), OpList({w}), s);
  const auto& uses = OrvexMetadata::get(w.node)->uses;
  ASSERT_EQ(uses.size(), 1u);
  Value again = op(at::aten::neg, {w}, s);  // same kind and position: not a new use
  EXPECT_EQ(uses.size(), 1u);
  Value other = op(at::aten::abs, {w}, s);
  Value second = op(at::aten::mul, {again, w}, s);
  EXPECT_EQ(uses.size(), 3u);
  std::vector<std::pair<c10::Symbol, size_t>> seen;
  for (const Use& use : uses) seen.emplace_back(use.op.op, use.operand_index);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? c10::unique_t(a.first) < c10::unique_t(b.first) : a.second < b.second;
  }));
}

TEST_F(LoweringTest, ResultMetadataResultsThatAreArgumentsAndConstants) {
  BackendDataPtr dx = data(torch::randn({3}));
  Value px = leaf(dx);
  Value neg = op(at::aten::neg, {px}, Shape(at::kFloat, {3}));
  auto ctx = lower({neg, px, neg});
  std::vector<const OrvexMetadata*> got, want = {OrvexMetadata::get(neg.node), OrvexMetadata::get(px.node),
                                                  OrvexMetadata::get(neg.node)};
  for (const auto& m : ctx->results_metadata()) got.push_back(m.get());
  EXPECT_EQ(got, want);
  // A parameter may alias a result of the same shape only.
  EXPECT_TRUE(ctx->CheckResultShape(dx, 1));
  EXPECT_FALSE(ctx->CheckResultShape(data(torch::zeros({4})), 1));
  ctx->SetUpAlias({1}, 0, {}, true);
  auto computation = build(*ctx);
  EXPECT_TRUE(has(computation->to_string(), "return %0, %arg0, %0")) << computation->to_string();
  EXPECT_EQ(computation->input_output_aliases().size(), 1u);
  EXPECT_TRUE(has(computation->debug_string(), "output 1 <- parameter 0 (must alias)"));
  // The metadata outlives the nodes.
  std::weak_ptr<OrvexMetadata> meta = computation->get_results_metadata()[0];
  ctx.reset();
  neg = Value();
  EXPECT_FALSE(meta.expired());
  // Graphs without tensor arguments: constants become literals, builtin nodes lower to aten ops.
  Value constant(MakeNode<Scalar>(at::Scalar(2.5), at::kFloat), 0);
  Value expanded(MakeNode<Expand>(constant, std::vector<int64_t>{2, 3}, /*is_scalar_expand=*/true), 0);
  Value cast(MakeNode<Cast>(expanded, at::kHalf), 0);
  Value flag(MakeNode<Scalar>(at::Scalar(true), at::kBool), 0);
  ctx = lower({cast, flag});
  EXPECT_TRUE(ctx->parameters_metadata().empty());
  const std::string text = build(*ctx)->to_string();
  for (const char* part : {"\"torch.vtensor.literal\"() {value = dense<2.500000e+00> : tensor<f32>} : () -> "
                           "!torch.vtensor<[],f32>",
                           "torch.aten.expand", "torch.aten.clone", "\"torch.aten.to.dtype\"",
                           "-> !torch.vtensor<[2,3],f16>", "dense<true> : tensor<i1>"}) {
    EXPECT_TRUE(has(text, part)) << part << "\n" << text;
  }
  expect_reparses(text);
}

// Scalar data becomes number arguments; only named tensor arguments enter parameters_map.
TEST_F(LoweringTest, ScalarArgumentsAndParametersMap) {
  BackendDataPtr df = scalar_data(1.5), di = scalar_data(int64_t(3));
  std::dynamic_pointer_cast<TorchMlirBackendData>(df)->mlir_info()->name = "named.scalar";
  std::vector<Value> leaves;
  for (const char* name : {"model.fc.weight", "input.0", "placeholder7", "", "inputs_like", "fc.bias"}) {
    leaves.push_back(leaf(data(torch::ones({2}), name)));
  }
  Shape s(at::kFloat, {2});
  leaves.push_back(op(at::aten::mul, {op(at::aten::add, {leaves[0], leaf(df)}, s), leaf(di)}, s));
  auto computation = build(*lower(leaves));
  const std::string text = computation->to_string();
  const auto& params = computation->get_parameters();
  ASSERT_EQ(params.size(), 8u);
  for (size_t k = 0; k < params.size(); ++k) {
    const char* type = params[k] == df ? "!torch.float" : params[k] == di ? "!torch.int" : "!torch.vtensor<[2],f32>";
    EXPECT_TRUE(has(text, "%arg" + std::to_string(k) + ": " + type)) << text;
  }
  EXPECT_TRUE(has(text, "torch.aten.add.Scalar") && has(text, "torch.aten.mul.Scalar")) << text;
  const std::unordered_map<int, std::string> named = {{0, "model.fc.weight"}, {5, "fc.bias"}};
  EXPECT_EQ(computation->parameters_map(), named);
  EXPECT_TRUE(has(computation->debug_string(), "0: model.fc.weight"));
}

TEST_F(LoweringTest, ContextFromNameAndDeviceKeepsItsOwnMlirContext) {
  auto base = impl()->CreateLoweringContext("dump", device());
  auto* ctx = dynamic_cast<OrvexLoweringContext*>(base.get());
  ASSERT_NE(ctx, nullptr);
  EXPECT_NE(ctx->mlir_context().ptr, GetMlirContext().ptr);
  Value x = leaf(data(torch::ones({4})));
  ctx->AddResult(Output(op(at::aten::relu, {x}, Shape(at::kFloat, {4})).node.get(), 0));
  auto computation = build(*ctx);
  base.reset();  // the computation keeps the module's context alive
  EXPECT_TRUE(has(computation->to_string(), "torch.aten.relu"));
  // Building twice would register the results twice.
  auto twice = impl()->CreateLoweringContext("twice", device());
  twice->AddResult(Output(x.node.get(), 0));
  twice->Build();
  EXPECT_THROW(twice->Build(), c10::Error);
}

TEST_F(LoweringTest, FallbackReportWithoutLazyTensors) {
  // Undefined tensors are named, not read; without lazy tensors the graph part is LTC's empty text.
  const auto cwd = std::filesystem::current_path();
  const auto dir = std::filesystem::temp_directory_path() / ("orvex_fallback_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  auto op = c10::Dispatcher::singleton().findSchemaOrThrow("aten::histc", "");
  torch::jit::Stack stack{at::Tensor(), int64_t(1), at::Scalar(0), at::Scalar(0)};
  std::string message;
  try { ltc_eager_fallback(op, &stack); } catch (const std::runtime_error& e) { message = e.what(); }
  std::filesystem::current_path(cwd);
  std::ifstream dump(dir / "ltc_unsupported.graph");
  std::string file((std::istreambuf_iterator<char>(dump)), std::istreambuf_iterator<char>());
  std::filesystem::remove_all(dir);
  const std::string head = "Called with: (UndefinedTensor, 1, 0, 0)\n";
  EXPECT_TRUE(has(message, head + "Check graph dump in \"ltc_unsupported.graph\"\n")) << message;
  EXPECT_TRUE(has(file, head + DebugUtil::GetTensorsGraphInfo({}, nullptr, DebugUtil::GetDefaultGraphFormat())))
      << file;
}

// Every element type the programs carry: the dense attribute of a value is spelled with the element
// type of the argument it is embedded on, and its text reads back to the same bits.
TEST(MlirUtilsTest, DenseAttributesRoundTripInTheArgumentsElementType) {
  MlirContext ctx = GetMlirContext();
  for (auto type : {at::kByte, at::kChar, at::kShort, at::kInt, at::kLong, at::kHalf, at::kBFloat16,
                    at::kFloat, at::kDouble, at::kBool, at::kComplexFloat, at::kComplexDouble}) {
    const std::string spelling = torchMlirDtypeName(type);
    at::Tensor values = type == at::kBool ? torch::tensor({1, 0, 1, 1, 0, 0, 0, 0, 1}).to(type)
                                          : torch::randint(0, 256, {static_cast<int64_t>(9 * c10::elementSize(type))},
                                                           torch::kByte).view(type);
    if (c10::isFloatingType(type) || c10::isComplexType(type)) values = values.nan_to_num();  // NaN bits may not print back
    MlirAttribute attr = create_mlir_dense_attr("v", values, ctx).attribute;
    const std::string text = print(attr);
    EXPECT_TRUE(has(text, " : tensor<9x" + spelling + ">")) << text;
    MlirAttribute parsed = mlirAttributeParseGet(ctx, mlirStringRefCreate(text.data(), text.size()));
    ASSERT_FALSE(mlirAttributeIsNull(parsed)) << text;
    for (intptr_t i = 0; i < 9; ++i) {
      const at::Tensor element = values[i];
      if (type == at::kBool) {
        EXPECT_EQ(mlirDenseElementsAttrGetBoolValue(parsed, i), element.item<bool>()) << text;
      } else {
        const auto* raw = static_cast<const char*>(mlirDenseElementsAttrGetRawData(parsed));
        EXPECT_EQ(std::memcmp(raw + i * element.element_size(), element.const_data_ptr(),
                              element.element_size()), 0) << spelling << " element " << i << ": " << text;
      }
    }
  }
  for (auto type : {at::kComplexHalf, at::kQInt8}) {
    std::string what = "accepted";
    try { aten_type_to_mlir(type, ctx); } catch (const std::runtime_error& e) { what = e.what(); }
    EXPECT_EQ(what.rfind(std::string("Unsupported ATen dtype: ") + c10::toString(type), 0), 0u) << what;
  }
}

// Views are read in logical order; bool data is bit-packed (a lone true, all true, a byte-sized run).
TEST(MlirUtilsTest, DenseAttributesOfViewsBoolsAndEmptyTensors) {
  MlirContext ctx = GetMlirContext();
  const std::vector<std::pair<at::Tensor, std::string>> table = {
      {torch::arange(6, torch::kInt).reshape({2, 3}).t(), "dense<[[0, 3], [1, 4], [2, 5]]> : tensor<3x2xsi32>"},
      {torch::tensor({0, 0, 1}).to(torch::kBool), "dense<[false, false, true]> : tensor<3xi1>"},
      {torch::ones({3}, torch::kBool), "dense<true> : tensor<3xi1>"},
      // A conjugated view holds its values unresolved.
      {torch::tensor({c10::complex<float>(1, 2)}).conj(), "dense<(1.000000e+00,-2.000000e+00)> : tensor<1xcomplex<f32>>"},
      {torch::ones({2, 4}, torch::kBool), "dense<true> : tensor<2x4xi1>"},
      {torch::tensor(false), "dense<false> : tensor<i1>"},
      {torch::zeros({0, 3}), "dense<> : tensor<0x3xf32>"}};
  for (const auto& [tensor, expected] : table) {
    MlirAttribute attr = create_mlir_dense_attr("v", tensor, ctx).attribute;
    EXPECT_EQ(mlirElementsAttrGetNumElements(attr), tensor.numel());
    EXPECT_EQ(print(attr), expected);
  }
  EXPECT_THROW(toMlirNamedAttribute("null", mlirAttributeGetNull()), std::runtime_error);
}

}  // namespace

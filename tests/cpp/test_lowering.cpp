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
#include <torch/csrc/utils/pybind.h>
#include <torch/torch.h>

#include <unistd.h>

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

std::string print(MlirType type) {
  std::string s;
  mlirTypePrint(type, [](MlirStringRef r, void* u) { static_cast<std::string*>(u)->append(r.data, r.length); }, &s);
  return s;
}
std::string print(MlirAttribute attr) {
  std::string s;
  mlirAttributePrint(attr, [](MlirStringRef r, void* u) { static_cast<std::string*>(u)->append(r.data, r.length); }, &s);
  return s;
}

class LoweringTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { py::module_::import("orvex_pytorch_lib").attr("initialize")(); }

  BackendDevice device() const {
    return GetOrvexBackendImpl()->GetBackendDevice(c10::Device(c10::kLazy, 0));
  }

  BackendDataPtr data(const at::Tensor& t, const std::string& name = "") {
    auto d = GetOrvexBackendImpl()->MakeComputationDataFromTensor(t, Shape(t.scalar_type(), t.sizes()),
                                                                  device());
    std::dynamic_pointer_cast<TorchMlirBackendData>(d)->mlir_info()->name = name;
    return d;
  }

  static Value op(c10::Symbol sym, std::vector<Value> operands, const Shape& shape) {
    return Value(MakeNode<Generic>(OpKind(sym), OpList(operands), shape), 0);
  }

  // Lowers the graph of `roots` as LTC's executor does at a step boundary.
  std::unique_ptr<OrvexLoweringContext> lower(const std::vector<Value>& roots) {
    std::vector<const Node*> nodes;
    for (const Value& v : roots) nodes.push_back(v.node.get());
    Util::EmissionMap emap;
    auto post_order = Util::ComputePostOrder(nodes, &emap);
    post_order_ = post_order;
    auto ctx = GetOrvexBackendImpl()->CreateLoweringContext("SyncTensorsGraph", device(), post_order,
                                                            emap);
    auto* orvex_ctx = dynamic_cast<OrvexLoweringContext*>(ctx.release());
    EXPECT_NE(orvex_ctx, nullptr);
    for (const Value& v : roots) orvex_ctx->AddResult(Output(v.node.get(), v.index));
    return std::unique_ptr<OrvexLoweringContext>(orvex_ctx);
  }

  // The data of the post order's device-data nodes, in first appearance.
  std::vector<BackendDataPtr> data_in_post_order() const {
    std::vector<BackendDataPtr> result;
    for (const Node* node : post_order_) {
      if (const DeviceData* d = DeviceData::Cast(node)) {
        if (std::find(result.begin(), result.end(), d->data()) == result.end()) result.push_back(d->data());
      }
    }
    return result;
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
  Value px(MakeNode<DeviceData>(dx), 0), py_(MakeNode<DeviceData>(dy), 0);
  Value px_again(MakeNode<DeviceData>(dx), 0);  // another node holding the same data
  Shape s(at::kFloat, {2, 3});
  Value mul = op(at::aten::mul, {py_, px}, s);
  Value add = op(at::aten::add, {mul, px_again}, s);
  Value relu = op(at::aten::relu, {add}, s);

  auto ctx = lower({relu, mul});
  // The context builds in the backend's context; one parameter per distinct data, in post order.
  EXPECT_EQ(ctx->mlir_context().ptr, GetMlirContext().ptr);
  ASSERT_EQ(ctx->GetParametersData().size(), 2u);
  EXPECT_EQ(ctx->GetParametersData(), data_in_post_order());
  // Device-data metadata by handle; the later node of the same data wins.
  ASSERT_EQ(ctx->parameters_metadata().size(), 2u);
  const Node* last_x = nullptr;
  for (const Node* node : post_order_) {
    if (node == px.node.get() || node == px_again.node.get()) last_x = node;
  }
  EXPECT_EQ(ctx->parameters_metadata().at(dx->GetHandle()).get(), OrvexMetadata::get(last_x));
  EXPECT_EQ(ctx->parameters_metadata().at(dy->GetHandle()).get(), OrvexMetadata::get(py_.node));

  auto computation = build(*ctx);
  EXPECT_EQ(computation->parameters_size(), 2);
  EXPECT_EQ(computation->get_parameters(), ctx->GetParametersData());
  EXPECT_EQ(computation->mlir_context().ptr, GetMlirContext().ptr);
  EXPECT_EQ(computation->get_results_metadata().size(), 2u);

  const std::string text = computation->to_string();
  EXPECT_NE(text.find("func.func @main(%arg0: !torch.vtensor<[2,3],f32>, %arg1: !torch.vtensor<[2,3],f32>)"
                      " -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>)"),
            std::string::npos)
      << text;
  const bool y_first = ctx->GetParametersData()[0] == dy;
  EXPECT_NE(text.find(y_first ? "\"torch.aten.mul.Tensor\"(%arg0, %arg1)" : "\"torch.aten.mul.Tensor\"(%arg1, %arg0)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"torch.constant.int\"() {value = 1 : i64} : () -> !torch.int"), std::string::npos);
  EXPECT_NE(text.find("\"torch.aten.relu\""), std::string::npos);
  expect_reparses(text);

  // Every argument has an empty attribute dictionary.
  MlirAttribute arg_attrs = mlirOperationGetAttributeByName(computation->func_op(),
                                                            mlirStringRefCreateFromCString("arg_attrs"));
  ASSERT_FALSE(mlirAttributeIsNull(arg_attrs));
  ASSERT_EQ(mlirArrayAttrGetNumElements(arg_attrs), 2);
  EXPECT_EQ(mlirDictionaryAttrGetNumElements(mlirArrayAttrGetElement(arg_attrs, 0)), 0);

  // The graph computes on the host what eager PyTorch computes.
  torch::jit::GraphExecutor executor(computation->graph()->copy(), "check");
  torch::jit::Stack stack;
  for (const BackendDataPtr& d : computation->get_parameters()) stack.emplace_back(d == dx ? x : y);
  executor.run(stack);
  ASSERT_EQ(stack.size(), 2u);
  EXPECT_TRUE(torch::allclose(stack[0].toTensor(), torch::relu(y * x + x)));
  EXPECT_TRUE(torch::allclose(stack[1].toTensor(), y * x));

  const std::string backend_text = GetOrvexBackendImpl()->GetComputationBackendText(computation);
  EXPECT_EQ(backend_text, computation->debug_string());
  EXPECT_NE(backend_text.find(text), std::string::npos);
  EXPECT_NE(backend_text.find("aten::mul"), std::string::npos) << "TorchScript graph missing";
  EXPECT_NE(backend_text.find("In mark step: false"), std::string::npos);
}

TEST_F(LoweringTest, ResultMetadataAndResultsThatAreArguments) {
  at::Tensor x = torch::randn({3});
  BackendDataPtr dx = data(x);
  Value px(MakeNode<DeviceData>(dx), 0);
  Value neg = op(at::aten::neg, {px}, Shape(at::kFloat, {3}));
  auto ctx = lower({neg, px, neg});
  ASSERT_EQ(ctx->results_metadata().size(), 3u);
  EXPECT_EQ(ctx->results_metadata()[0].get(), OrvexMetadata::get(neg.node));
  EXPECT_EQ(ctx->results_metadata()[1].get(), OrvexMetadata::get(px.node));
  EXPECT_EQ(ctx->results_metadata()[2].get(), OrvexMetadata::get(neg.node));
  // A parameter may alias a result of the same shape only.
  EXPECT_TRUE(ctx->CheckResultShape(dx, 1));
  EXPECT_FALSE(ctx->CheckResultShape(data(torch::zeros({4})), 1));
  ctx->SetUpAlias({1}, 0, {}, true);

  auto computation = build(*ctx);
  const std::string text = computation->to_string();
  EXPECT_NE(text.find("return %0, %arg0, %0"), std::string::npos) << text;
  EXPECT_EQ(computation->input_output_aliases().size(), 1u);
  EXPECT_NE(computation->debug_string().find("output 1 <- parameter 0 (must alias)"), std::string::npos);
  // The metadata outlives the nodes.
  std::weak_ptr<OrvexMetadata> meta = computation->get_results_metadata()[0];
  ctx.reset();
  neg = Value();
  EXPECT_FALSE(meta.expired());

  // A graph without device data has no parameter metadata.
  Value constant(MakeNode<Scalar>(at::Scalar(2.5), at::kFloat), 0);
  auto ctx2 = lower({op(at::aten::neg, {constant}, Shape(at::kFloat, {}))});
  EXPECT_TRUE(ctx2->parameters_metadata().empty());
  const std::string text2 = build(*ctx2)->to_string();
  EXPECT_NE(text2.find("\"torch.vtensor.literal\"() {value = dense<2.500000e+00> : tensor<f32>} : () -> "
                       "!torch.vtensor<[],f32>"),
            std::string::npos)
      << text2;
}

TEST_F(LoweringTest, ScalarDataBecomesNumberArguments) {
  BackendDataPtr dt = data(torch::ones({2}));
  BackendDataPtr df = GetOrvexBackendImpl()->MakeComputationDataFromScalar(at::Scalar(1.5), device());
  BackendDataPtr di = GetOrvexBackendImpl()->MakeComputationDataFromScalar(at::Scalar(int64_t(3)), device());
  Value t(MakeNode<DeviceData>(dt), 0), f(MakeNode<DeviceData>(df), 0), i(MakeNode<DeviceData>(di), 0);
  Shape s(at::kFloat, {2});
  Value r = op(at::aten::mul, {op(at::aten::add, {t, f}, s), i}, s);
  auto computation = build(*lower({r}));
  const std::string text = computation->to_string();
  const auto& params = computation->get_parameters();
  ASSERT_EQ(params.size(), 3u);
  for (size_t k = 0; k < params.size(); ++k) {
    const char* type = params[k] == df ? "!torch.float" : params[k] == di ? "!torch.int" : "!torch.vtensor<[2],f32>";
    EXPECT_NE(text.find("%arg" + std::to_string(k) + ": " + type), std::string::npos) << text;
  }
  EXPECT_NE(text.find("torch.aten.add.Scalar"), std::string::npos);
  EXPECT_NE(text.find("torch.aten.mul.Scalar"), std::string::npos);
  // Scalar data never gets a name entry, whatever its record says.
  EXPECT_TRUE(computation->parameters_map().empty());
}

TEST_F(LoweringTest, ParametersMapNamesOnlyNamedTensorArguments) {
  std::vector<std::string> names = {"model.fc.weight", "input.0", "placeholder7", "", "inputs_like",
                                    "fc.bias"};
  std::vector<Value> leaves;
  for (const auto& name : names) leaves.emplace_back(MakeNode<DeviceData>(data(torch::ones({2}), name)), 0);
  BackendDataPtr scalar = GetOrvexBackendImpl()->MakeComputationDataFromScalar(at::Scalar(2.0), device());
  std::dynamic_pointer_cast<TorchMlirBackendData>(scalar)->mlir_info()->name = "named.scalar";
  leaves.emplace_back(MakeNode<DeviceData>(scalar), 0);
  auto computation = build(*lower(leaves));
  std::unordered_map<int, std::string> expected = {{0, "model.fc.weight"}, {5, "fc.bias"}};
  EXPECT_EQ(computation->parameters_map(), expected);
  EXPECT_NE(computation->debug_string().find("0: model.fc.weight"), std::string::npos);
}

TEST_F(LoweringTest, BuiltinNodesLower) {
  BackendDataPtr d0 = data(torch::tensor(2.0));
  Value scalar(MakeNode<DeviceData>(d0), 0);
  Value expanded(MakeNode<Expand>(scalar, std::vector<int64_t>{2, 3}, /*is_scalar_expand=*/true), 0);
  Value cast(MakeNode<Cast>(expanded, at::kHalf), 0);
  Value flag(MakeNode<Scalar>(at::Scalar(true), at::kBool), 0);
  auto computation = build(*lower({cast, flag}));
  const std::string text = computation->to_string();
  EXPECT_NE(text.find("torch.aten.expand"), std::string::npos) << text;
  EXPECT_NE(text.find("torch.aten.clone"), std::string::npos) << text;
  EXPECT_NE(text.find("\"torch.aten.to.dtype\""), std::string::npos) << text;
  EXPECT_NE(text.find("-> !torch.vtensor<[2,3],f16>"), std::string::npos) << text;
  EXPECT_NE(text.find("dense<true> : tensor<i1>"), std::string::npos) << text;
  expect_reparses(text);
}

TEST_F(LoweringTest, ContextFromNameAndDeviceKeepsItsOwnMlirContext) {
  auto base = GetOrvexBackendImpl()->CreateLoweringContext("dump", device());
  auto* ctx = dynamic_cast<OrvexLoweringContext*>(base.get());
  ASSERT_NE(ctx, nullptr);
  EXPECT_NE(ctx->mlir_context().ptr, GetMlirContext().ptr);
  Value x(MakeNode<DeviceData>(data(torch::ones({4}))), 0);
  ctx->AddResult(Output(op(at::aten::relu, {x}, Shape(at::kFloat, {4})).node.get(), 0));
  auto computation = build(*ctx);
  base.reset();  // the computation keeps the module's context alive
  EXPECT_NE(computation->to_string().find("torch.aten.relu"), std::string::npos);

  // Building twice would register the results twice.
  auto twice = GetOrvexBackendImpl()->CreateLoweringContext("twice", device());
  twice->AddResult(Output(x.node.get(), 0));
  twice->Build();
  EXPECT_THROW(twice->Build(), c10::Error);
}

TEST_F(LoweringTest, BackendTextNeedsAnOrvexComputation) {
  struct Other : Computation {
    int parameters_size() const override { return 0; }
    const std::vector<Shape>& parameter_shapes() const override { return shapes; }
    const std::vector<std::string>& parameter_names() const override { return names; }
    const Shape& result_shape() const override { return shape; }
    const std::string to_string() const override { return ""; }
    std::vector<Shape> shapes;
    std::vector<std::string> names;
    Shape shape;
  };
  try {
    GetOrvexBackendImpl()->GetComputationBackendText(std::make_shared<Other>());
    FAIL() << "expected an error";
  } catch (const c10::Error& e) {
    EXPECT_EQ(std::string(e.what_without_backtrace()), "Invalid Computation Pointer. Expected OrvexComputation.");
  }
}

// Device constants name the lazy device; on the host the graph must make host tensors.
void retarget_devices_to_host(torch::jit::Graph& graph) {
  for (torch::jit::Node* node : graph.nodes()) {
    if (node->kind() != c10::prim::Constant || node->output()->type()->kind() != c10::TypeKind::DeviceObjType) {
      continue;
    }
    torch::jit::WithInsertPoint guard(node);
    node->output()->replaceAllUsesWith(graph.insertConstant(c10::Device(c10::kCPU)));
  }
}

class TrainingStepTest : public LoweringTest, public ::testing::WithParamInterface<std::string> {};

// A full training step traced on the lazy device lowers to a graph that computes, from the host
// data of its arguments, the loss and updated weights that eager PyTorch computes.
TEST_P(TrainingStepTest, GraphComputesWhatEagerComputes) {
  const std::string tests_python =
      std::filesystem::path(__FILE__).parent_path().parent_path().string() + "/python";
  py::dict scope;
  scope["name"] = GetParam();
  scope["tests_python"] = tests_python;
  py::exec(R"(
import sys, torch
if tests_python not in sys.path:
    sys.path.insert(0, tests_python)
import training_models as tm
import orvex_pytorch_lib as ox
cfg = ox.appliance_file_config
saved = cfg.enabled
cfg.enabled = True   # keep the host data of every argument
try:
    kwargs = {"dropout": 0.0} if name == "transformer" else {}
    model, opt, x, y = tm.setup(name, "lazy", **kwargs)
    loss = tm.train_step(model, opt, x, y)
    lazy_out = [loss] + list(model.parameters())
    model, opt, x, y = tm.setup(name, "cpu", **kwargs)
    loss = tm.train_step(model, opt, x, y)
    ref_out = [loss.detach()] + [p.detach() for p in model.parameters()]
finally:
    cfg.enabled = saved
)", py::globals(), scope);
  auto lazy_out = scope["lazy_out"].cast<std::vector<at::Tensor>>();
  auto ref_out = scope["ref_out"].cast<std::vector<at::Tensor>>();

  std::vector<Value> roots;
  for (const at::Tensor& t : lazy_out) {
    LazyTensorPtr lazy = TryGetLtcTensor(t);
    ASSERT_TRUE(lazy);
    roots.push_back(lazy->GetIrValue());
  }
  auto ctx = lower(roots);
  auto computation = build(*ctx);

  torch::jit::Stack stack;
  for (const BackendDataPtr& d : computation->get_parameters()) {
    auto* info = dynamic_cast<ApplianceDataInfo*>(
        std::dynamic_pointer_cast<TorchMlirBackendData>(d)->mlir_info());
    ASSERT_NE(info, nullptr);
    stack.emplace_back(info->get_tensor());
  }
  auto graph = computation->graph()->copy();
  retarget_devices_to_host(*graph);
  torch::jit::GraphExecutor executor(graph, "check");
  executor.run(stack);
  ASSERT_EQ(stack.size(), ref_out.size());
  for (size_t i = 0; i < ref_out.size(); ++i) {
    const at::Tensor got = stack[i].toTensor();
    EXPECT_EQ(got.sizes(), ref_out[i].sizes()) << "result " << i;
    EXPECT_TRUE(torch::allclose(got, ref_out[i], /*rtol=*/1e-4, /*atol=*/1e-5))
        << "result " << i << ": max diff " << (got - ref_out[i]).abs().max().item<double>();
  }
}

INSTANTIATE_TEST_SUITE_P(Scripts, TrainingStepTest, ::testing::Values("mlp", "cnn", "transformer"));

TEST_F(LoweringTest, FallbackReportWithoutLazyTensors) {
  // Undefined tensors are named, not read; without lazy tensors the graph part is LTC's empty text.
  const auto cwd = std::filesystem::current_path();
  const auto dir = std::filesystem::temp_directory_path() / ("orvex_fallback_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  auto op = c10::Dispatcher::singleton().findSchemaOrThrow("aten::histc", "");
  torch::jit::Stack stack{at::Tensor(), c10::IValue(int64_t(1)), c10::IValue(at::Scalar(0)),
                          c10::IValue(at::Scalar(0))};
  std::string message;
  try {
    ltc_eager_fallback(op, &stack);
  } catch (const std::runtime_error& e) {
    message = e.what();
  }
  std::filesystem::current_path(cwd);
  std::ifstream dump(dir / "ltc_unsupported.graph");
  std::string file((std::istreambuf_iterator<char>(dump)), std::istreambuf_iterator<char>());
  std::filesystem::remove_all(dir);

  const std::string head = "Called with: (UndefinedTensor, 1, 0, 0)\n";
  EXPECT_NE(message.find(head + "Check graph dump in \"ltc_unsupported.graph\"\n"), std::string::npos) << message;
  EXPECT_EQ(stack.size(), 4u);
  const std::string empty_graph = DebugUtil::GetTensorsGraphInfo({}, nullptr, DebugUtil::GetDefaultGraphFormat());
  EXPECT_NE(file.find(head + empty_graph), std::string::npos) << file;
}

TEST(ComputationCacheTest, NamesHashAndData) {
  CachedOrvexComputation cache;
  EXPECT_EQ(cache.latest_hash(), 0);
  EXPECT_FALSE(cache.has_computation());
  EXPECT_EQ(GetCachedOrvexComputation(), GetCachedOrvexComputation());

  ApplianceDataInfo a, b, c;
  a.name = "model.fc.weight";
  b.name = "input.0";
  c.name = "";
  cache.set_input_order({&a, &b, &c});
  EXPECT_EQ(cache.input_order(), (std::vector<std::string>{"model_fc_weight", "input_0", ""}));
  cache.set_weight_names({&a, &b});
  cache.set_weight_names({&b});
  EXPECT_EQ(cache.weight_names(), (std::vector<std::string>{"input_0"}));

  auto d = GetOrvexBackendImpl()->CreateDataPlaceholder(
      GetOrvexBackendImpl()->GetBackendDevice(c10::Device(c10::kLazy, 0)), Shape());
  cache.set_output_data({d, d});
  cache.set_output_data(cache.output_data());
  EXPECT_EQ(cache.output_data().size(), 2u);
  cache.set_hash(42);
  EXPECT_EQ(cache.latest_hash(), 42);
}

class MlirUtilsTest : public ::testing::Test {
 protected:
  MlirContext ctx = GetMlirContext();

  std::string dense(const at::Tensor& t) {
    MlirNamedAttribute named = create_mlir_dense_attr("v", t, ctx);
    EXPECT_TRUE(mlirElementsAttrGetNumElements(named.attribute) == t.numel());
    return print(named.attribute);
  }
};

TEST_F(MlirUtilsTest, ElementTypes) {
  const std::vector<std::pair<c10::ScalarType, std::string>> table = {
      {at::kByte, "si8"}, {at::kShort, "si16"}, {at::kInt, "si32"}, {at::kLong, "si64"},
      {at::kHalf, "f16"}, {at::kFloat, "f32"},  {at::kDouble, "f64"}, {at::kBool, "i1"},
      {at::kBFloat16, "bf16"}};
  for (const auto& [type, name] : table) EXPECT_EQ(print(aten_type_to_mlir(type, ctx)), name);
  for (auto type : {at::kChar, at::kComplexFloat, at::kQInt8}) {
    try {
      aten_type_to_mlir(type, ctx);
      ADD_FAILURE() << "accepted " << type;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind(std::string("Unsupported ATen dtype: ") + c10::toString(type), 0),
                0u)
          << e.what();
    }
  }
}

TEST_F(MlirUtilsTest, DenseAttributes) {
  MlirNamedAttribute named = create_mlir_dense_attr("weight", torch::arange(6, torch::kFloat).reshape({2, 3}), ctx);
  EXPECT_EQ(std::string(mlirIdentifierStr(named.name).data, mlirIdentifierStr(named.name).length), "weight");
  EXPECT_EQ(print(named.attribute),
            "dense<[[0.000000e+00, 1.000000e+00, 2.000000e+00], [3.000000e+00, 4.000000e+00, "
            "5.000000e+00]]> : tensor<2x3xf32>");
  EXPECT_EQ(dense(torch::tensor(int64_t(7))), "dense<7> : tensor<si64>");
  EXPECT_EQ(dense(torch::tensor({1.5, -2.0}, torch::kBFloat16)), "dense<[1.500000e+00, -2.000000e+00]> : tensor<2xbf16>");
  // A transposed view is read in logical order.
  EXPECT_EQ(dense(torch::arange(6, torch::kInt).reshape({2, 3}).t()), "dense<[[0, 3], [1, 4], [2, 5]]> : tensor<3x2xsi32>");
  // Bool data is bit-packed: nine values, a lone true, all true, and an all-true byte-sized run.
  EXPECT_EQ(dense(torch::tensor({1, 0, 1, 1, 0, 0, 0, 0, 1}).to(torch::kBool)),
            "dense<[true, false, true, true, false, false, false, false, true]> : tensor<9xi1>");
  EXPECT_EQ(dense(torch::tensor({0, 0, 1}).to(torch::kBool)), "dense<[false, false, true]> : tensor<3xi1>");
  EXPECT_EQ(dense(torch::ones({3}, torch::kBool)), "dense<true> : tensor<3xi1>");
  EXPECT_EQ(dense(torch::ones({2, 4}, torch::kBool)), "dense<true> : tensor<2x4xi1>");
  EXPECT_EQ(dense(torch::tensor(false)), "dense<false> : tensor<i1>");
  EXPECT_EQ(dense(torch::zeros({0, 3})), "dense<> : tensor<0x3xf32>");

  EXPECT_THROW(create_mlir_dense_attr("c", torch::ones({2}, torch::kChar), ctx), std::runtime_error);
  EXPECT_THROW(toMlirNamedAttribute("null", mlirAttributeGetNull()), std::runtime_error);
  MlirNamedAttribute unit = toMlirNamedAttribute("flag", mlirUnitAttrGet(ctx));
  EXPECT_EQ(mlirIdentifierStr(unit.name).length, 4u);
  std::string s = "abc";
  EXPECT_EQ(toMlirStringRef(s).data, s.data());
}

}  // namespace

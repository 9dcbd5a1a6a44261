#include "mlir_lowering_context.h"

#include <algorithm>
#include <map>
#include <sstream>

#include <c10/util/Exception.h>
#include <c10/util/StringUtil.h>
#include <torch/csrc/jit/api/function_impl.h>
#include <torch/csrc/jit/ir/ir.h>

#include "torch_mlir_ltc/backend_impl.h"
#include "torch_mlir_ltc/mlir_dialects.h"
#include "torch_mlir_ltc/mlir_import.h"

namespace torch {
namespace lazy {

namespace {

std::shared_ptr<void> CreateOwnedMlirContext(MlirContext* context) {
  *context = mlirContextCreate();
  // Lowering runs on one thread; the context needs no worker threads.
  mlirContextEnableMultithreading(*context, false);
  torchMlirRegisterAllDialects(*context);
  return std::shared_ptr<void>(context->ptr,
                               [](void* ptr) { mlirContextDestroy(MlirContext{ptr}); });
}

c10::TensorTypePtr TensorTypeOfShape(const Shape& shape) {
  return c10::TensorType::create(shape.scalar_type(), /*device=*/std::nullopt,
                                 c10::VaryingShape<int64_t>(shape.sizes()),
                                 c10::VaryingShape<int64_t>(), /*requires_grad=*/std::nullopt);
}

Shape ShapeOfType(const c10::TypePtr& type) {
  if (auto tensor = type->cast<c10::TensorType>()) {
    auto sizes = tensor->sizes().concrete_sizes();
    auto dtype = tensor->scalarType();
    if (sizes && dtype) return Shape(*dtype, *sizes);
    return Shape();
  }
  switch (type->kind()) {
    case c10::TypeKind::IntType: return Shape(c10::ScalarType::Long, {});
    case c10::TypeKind::FloatType: return Shape(c10::ScalarType::Double, {});
    case c10::TypeKind::BoolType: return Shape(c10::ScalarType::Bool, {});
    default: return Shape();
  }
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// aten::ScalarImplicit yields a !torch.number, which no backend accepts: pick the conversion the
// tensor's element type calls for.
void RewriteScalarImplicit(torch::jit::Graph& graph) {
  static const c10::Symbol kScalarImplicit = c10::Symbol::fromQualString("aten::ScalarImplicit");
  static const c10::Symbol kIntImplicit = c10::Symbol::fromQualString("aten::IntImplicit");
  static const c10::Symbol kFloatImplicit = c10::Symbol::fromQualString("aten::FloatImplicit");
  static const c10::Symbol kInt = c10::Symbol::fromQualString("aten::Int");
  for (auto it = graph.nodes().begin(); it != graph.nodes().end();) {
    torch::jit::Node* node = *it++;
    if (node->kind() != kScalarImplicit) continue;
    auto tensor = node->input(0)->type()->cast<c10::TensorType>();
    if (!tensor || !tensor->scalarType()) continue;
    const c10::ScalarType dtype = *tensor->scalarType();
    c10::Symbol replacement;
    c10::TypePtr type;
    if (c10::isFloatingType(dtype)) {
      replacement = kFloatImplicit;
      type = c10::FloatType::get();
    } else if (dtype == c10::ScalarType::Bool) {
      // IntImplicit refuses bool tensors; Int.Tensor converts them.
      replacement = kInt;
      type = c10::IntType::get();
    } else if (c10::isIntegralType(dtype, /*includeBool=*/false)) {
      replacement = kIntImplicit;
      type = c10::IntType::get();
    } else {
      continue;
    }
    torch::jit::Node* converted = graph.create(replacement, {node->input(0)}, 1);
    converted->insertBefore(node);
    converted->output()->setType(type);
    node->output()->replaceAllUsesWith(converted->output());
    node->destroy();
  }
}

// Schema matching packs multiple results into a tuple that lowering unpacks again at once; drop
// such packing, and constants and lists that nothing uses.
void RemoveUnusedPacking(torch::jit::Graph& graph) {
  std::vector<torch::jit::Node*> nodes(graph.nodes().begin(), graph.nodes().end());
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
    torch::jit::Node* node = *it;
    const c10::Symbol kind = node->kind();
    if (kind != c10::prim::TupleConstruct && kind != c10::prim::ListConstruct &&
        kind != c10::prim::Constant) {
      continue;
    }
    if (!node->hasUses()) node->destroy();
  }
}

}  // namespace

TorchMlirLoweringContext::TorchMlirLoweringContext(const std::string& name, BackendDevice device)
    : LoweringContext(name, std::move(device)),
      graph_(std::make_shared<torch::jit::Graph>()),
      function_(std::make_shared<torch::jit::GraphFunction>(name, graph_, nullptr)) {
  mlir_context_owner_ = CreateOwnedMlirContext(&mlir_context_);
}

TorchMlirLoweringContext::TorchMlirLoweringContext(const std::string& name, BackendDevice device,
                                                   c10::ArrayRef<const Node*> post_order,
                                                   Util::EmissionMap emit_status)
    : LoweringContext(name, std::move(device), post_order, std::move(emit_status)),
      graph_(std::make_shared<torch::jit::Graph>()),
      function_(std::make_shared<torch::jit::GraphFunction>(name, graph_, nullptr)) {
  mlir_context_owner_ = CreateOwnedMlirContext(&mlir_context_);
  for (const Node* node : post_order) {
    if (node != nullptr) Lower(node);
  }
}

TorchMlirLoweringContext::~TorchMlirLoweringContext() = default;

void TorchMlirLoweringContext::ReplaceMlirContext(MlirContext context) {
  mlir_context_owner_.reset();
  mlir_context_ = context;
}

void TorchMlirLoweringContext::SetUpAlias(const std::vector<int64_t>& output_index,
                                          int64_t param_number,
                                          const std::vector<int64_t>& param_index,
                                          bool must_alias) {
  input_output_aliases_.push_back({output_index, param_number, param_index, must_alias});
}

bool TorchMlirLoweringContext::CheckResultShape(const BackendDataPtr& parameter_data,
                                                size_t result_idx) {
  TORCH_CHECK(result_idx < result_shapes_.size(), "No result ", result_idx, " (the computation has ",
              result_shapes_.size(), ")");
  return parameter_data->shape() == result_shapes_[result_idx];
}

size_t TorchMlirLoweringContext::AddResult(const Output& output) {
  result_values_.push_back(GetOutputOp(output));
  result_shapes_.push_back(output.shape());
  return result_values_.size() - 1;
}

void TorchMlirLoweringContext::AddParameter(const Output& output, size_t index, const Shape& shape,
                                            const std::string& name) {
  throw std::runtime_error(
      "Unimplemented Error: AddParameter: operator-by-operator execution is not supported");
}

torch::jit::Value* TorchMlirLoweringContext::GetOutputOp(const Output& output) {
  auto it = emitted_outputs_.find(output);
  if (it == emitted_outputs_.end()) {
    for (const Node* node : Util::ComputePostOrder(output.node, &emit_status_)) Lower(node);
    it = emitted_outputs_.find(output);
    TORCH_CHECK(it != emitted_outputs_.end(), "No TorchScript value emitted for output ",
                output.ToString());
  }
  return it->second;
}

void TorchMlirLoweringContext::AssignOutputOp(const Output& output, torch::jit::Value* op) {
  emitted_outputs_[output] = op;
}

torch::jit::Value* TorchMlirLoweringContext::GetParameter(const BackendDataPtr& data) {
  const BackendData::Handle handle = data->GetHandle();
  auto it = parameters_map_.find(handle);
  if (it == parameters_map_.end()) {
    const auto* mlir_data = dynamic_cast<const TorchMlirBackendData*>(data.get());
    TORCH_CHECK(mlir_data != nullptr, "Invalid Backend Data Pointer. Expected TorchMlirBackendData.");
    const TorchMlirBackendData::Info* info = mlir_data->mlir_info();
    torch::jit::Value* param = graph_->addInput("p" + std::to_string(parameters_.size()));
    if (info != nullptr && info->scalar.has_value()) {
      // Scalar data is a number argument, not a tensor.
      const at::Scalar& scalar = *info->scalar;
      if (scalar.isFloatingPoint()) {
        param->setType(c10::FloatType::get());
      } else if (scalar.isBoolean()) {
        param->setType(c10::BoolType::get());
      } else if (scalar.isIntegral(/*includeBool=*/false)) {
        param->setType(c10::IntType::get());
      } else {
        TORCH_CHECK(false, "Unsupported scalar parameter of type ", scalar.type());
      }
    } else {
      param->setType(TensorTypeOfShape(data->shape()));
    }
    it = parameters_map_.emplace(handle, Parameter{param, parameters_.size()}).first;
    parameters_.push_back(data);
  }
  parameter_sequence_.push_back(it->second.index);
  return it->second.param;
}

void TorchMlirLoweringContext::Lower(const Node* node) {
  const auto* mlir_node = dynamic_cast<const TorchMlirNode*>(node);
  TORCH_CHECK(mlir_node != nullptr, "Cannot lower ", node->ToString(),
              ": it is not a node of this backend");
  TorchMlirOpVector ops;
  try {
    ops = mlir_node->Lower(function_, this);
  } catch (const c10::Error& e) {
    TORCH_CHECK(false, "Failed to lower ", node->ToString(), ": ", e.what_without_backtrace());
  }
  TORCH_CHECK(!ops.empty(), "Failed to lower ", node->ToString(), ": no value emitted");
  TORCH_CHECK(ops.size() == node->num_outputs(), "Failed to lower ", node->ToString(), ": ",
              ops.size(), " values emitted for ", node->num_outputs(), " outputs");
  for (size_t i = 0; i < ops.size(); ++i) AssignOutputOp(Output(node, i), ops[i]);
}

ComputationPtr TorchMlirLoweringContext::Build() {
  TORCH_CHECK(graph_->outputs().empty(), "A lowering context builds its computation only once");
  for (torch::jit::Value* value : result_values_) graph_->registerOutput(value);
  RewriteScalarImplicit(*graph_);
  RemoveUnusedPacking(*graph_);

  // Named tensor parameters only: records named "input..." are the step's inputs and
  // "placeholder..." records are constants (scalars arrive as 0-d tensors with a default name).
  parameter_names_.clear();
  for (size_t i = 0; i < parameters_.size(); ++i) {
    const auto* mlir_data = dynamic_cast<const TorchMlirBackendData*>(parameters_[i].get());
    const TorchMlirBackendData::Info* info = mlir_data ? mlir_data->mlir_info() : nullptr;
    if (info == nullptr || info->scalar.has_value()) continue;
    const std::string& name = info->name;
    if (name.empty() || StartsWith(name, "input") || StartsWith(name, "placeholder")) continue;
    parameter_names_[static_cast<int>(i)] = name;
  }

  MlirModule module = importJitGraphToMlir(mlir_context_, *graph_);
  ComputationPtr computation;
  try {
    computation = CreateComputation(module);
  } catch (...) {
    mlirModuleDestroy(module);
    throw;
  }
  if (auto* mlir_computation = dynamic_cast<TorchMlirComputation*>(computation.get())) {
    mlir_computation->set_mlir_context_owner(mlir_context_owner_);
  }
  return computation;
}

ComputationPtr TorchMlirLoweringContext::CreateComputation(MlirModule module) {
  return std::make_shared<TorchMlirComputation>(module, mlir_context_, graph_, parameter_names_,
                                                input_output_aliases_);
}

TorchMlirComputation::TorchMlirComputation(MlirModule module, MlirContext context,
                                           const std::shared_ptr<torch::jit::Graph>& graph,
                                           std::unordered_map<int, std::string> parameters_map,
                                           InputOutputAliases aliases)
    : module_(module),
      mlir_context_(context),
      graph_(graph),
      parameters_map_(std::move(parameters_map)),
      input_output_aliases_(std::move(aliases)) {
  for (const torch::jit::Value* input : graph_->inputs()) {
    parameter_names_.push_back(input->debugName());
    parameter_shapes_.push_back(ShapeOfType(input->type()));
  }
  for (const torch::jit::Value* output : graph_->outputs()) {
    result_shapes_.push_back(ShapeOfType(output->type()));
  }
}

TorchMlirComputation::~TorchMlirComputation() {
  // The module goes before the context that its owner may release.
  if (!mlirModuleIsNull(module_)) mlirModuleDestroy(module_);
}

int TorchMlirComputation::parameters_size() const {
  return static_cast<int>(parameter_names_.size());
}

const std::vector<Shape>& TorchMlirComputation::parameter_shapes() const {
  return parameter_shapes_;
}

const std::vector<std::string>& TorchMlirComputation::parameter_names() const {
  return parameter_names_;
}

const Shape& TorchMlirComputation::result_shape() const {
  TORCH_CHECK(result_shapes_.size() == 1, "The computation has ", result_shapes_.size(),
              " results, not one");
  return result_shapes_.front();
}

const std::string TorchMlirComputation::to_string() const {
  return mlirOperationToString(mlirModuleGetOperation(module_));
}

MlirOperation TorchMlirComputation::func_op() const {
  return mlirBlockGetFirstOperation(mlirModuleGetBody(module_));
}

const std::string TorchMlirComputation::debug_string() const {
  std::stringstream ss;
  ss << "Computation:\n" << to_string() << "\n";
  ss << "TorchScript graph:\n" << graph_->toString() << "\n";
  ss << "Parameter names:\n";
  const std::map<int, std::string> names(parameters_map_.begin(), parameters_map_.end());
  for (const auto& [index, name] : names) ss << "    " << index << ": " << name << "\n";
  ss << "Input/output aliases:\n";
  for (const auto& alias : input_output_aliases_) {
    ss << "    output " << c10::Join(", ", alias.output_index) << " <- parameter "
       << alias.param_number;
    if (!alias.param_index.empty()) ss << " [" << c10::Join(", ", alias.param_index) << "]";
    ss << (alias.must_alias ? " (must alias)" : "") << "\n";
  }
  ss << "In mark step: " << (in_mark_step ? "true" : "false") << "\n";
  return ss.str();
}

}  // namespace lazy
}  // namespace torch

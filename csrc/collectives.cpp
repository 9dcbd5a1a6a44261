// PyTorch's functional collectives on lazy tensors. A data-parallel step reduces its gradients
// with
//
//   y = torch.ops._c10d_functional.all_reduce(x, "sum", group_name)
//   y = torch.ops._c10d_functional.wait_tensor(y)
//
// PyTorch's own kernels would run the collective on the host, on data the lazy tensor does not
// have. Here the reduction becomes a node of the step's program instead: its operand, the reduce op
// and the global ranks of the process group (resolved from the group's name, or the ProcessGroup
// object, when the call is made). It lowers to
//
//   torch.operator "_c10d_functional.all_reduce"(%x, %reduce_op, %ranks)
//
// with %reduce_op a str and %ranks a list of ints, which torch-lumo-opt turns into lumo.AllReduce.
// wait_tensor is the identity: within the program the reduced value is there when it is read.
// all_reduce_ (the in-place form) is all_reduce whose result is copied into its input. The c10d
// collectives that torch.distributed.all_reduce and the like call are not recorded: they stay with
// the backend's unsupported-operator report.
#include "collectives.h"

#include <cctype>
#include <memory>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include <ATen/ATen.h>
#include <c10/util/StringUtil.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <torch/csrc/jit/ir/ir.h>
#include <torch/csrc/jit/python/pybind_utils.h>
#include <torch/csrc/lazy/core/hash.h>
#include <torch/csrc/lazy/core/ir_builder.h>
#include <torch/csrc/lazy/core/tensor.h>
#include <torch/library.h>

#include "torch_mlir_ltc/mlir_lowering_context.h"
#include "torch_mlir_ltc/mlir_node.h"

namespace py = pybind11;

namespace torch {
namespace lazy {

namespace {

const OpKind& AllReduceKind() {
  static const OpKind kind(c10::Symbol::fromQualString("_c10d_functional::all_reduce"));
  return kind;
}

// One all_reduce: its operand, the reduce op as PyTorch names it and the global ranks of its group.
class AllReduceNode : public TorchMlirNode {
 public:
  AllReduceNode(const Value& input, std::string reduce_op, std::vector<int64_t> ranks, Shape shape)
      : TorchMlirNode(AllReduceKind(), {input}, std::vector<Shape>{std::move(shape)}, 1,
                      HashCombine(Hash(reduce_op), Hash(ranks))),
        reduce_op_(std::move(reduce_op)),
        ranks_(std::move(ranks)) {}

  std::string ToString() const override {
    std::stringstream text;
    text << TorchMlirNode::ToString() << ", reduce_op=" << reduce_op_ << ", ranks=("
         << c10::Join(", ", ranks_) << ")";
    return text.str();
  }

  TorchMlirOpVector Lower(TorchMlirFunction function,
                          TorchMlirLoweringContext* loctx) const override {
    torch::jit::Graph& graph = *function->graph();
    std::vector<torch::jit::Value*> inputs{
        loctx->GetOutputOp(operand(0)),
        graph.insertConstant(c10::IValue(reduce_op_)),
        graph.insertConstant(c10::IValue(ranks_)),
    };
    torch::jit::Node* call = graph.insertNode(graph.create(op().op, inputs, 1));
    call->output()->setType(c10::TensorType::create(
        shape().scalar_type(), /*device=*/std::nullopt, c10::VaryingShape<int64_t>(shape().sizes()),
        c10::VaryingShape<int64_t>(), /*requires_grad=*/std::nullopt));
    return {call->output()};
  }

 private:
  std::string reduce_op_;
  std::vector<int64_t> ranks_;
};

// The reduce ops of the functional collectives, and PyTorch's refusals of element types.
void CheckReduceOp(const std::string& reduce_op, at::ScalarType type) {
  static const std::set<std::string> known = {"sum", "avg", "product", "min",
                                              "max", "band", "bor",     "bxor"};
  TORCH_CHECK(known.count(reduce_op), "Unrecognized reduce_op: ", reduce_op);
  if (reduce_op == "band" || reduce_op == "bor" || reduce_op == "bxor") {
    std::string upper = reduce_op;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    TORCH_CHECK(at::isIntegralType(type, /*includeBool=*/true), "Cannot use ReduceOp.", upper,
                " with non-integral dtype");
  }
  if (reduce_op == "avg") {
    TORCH_CHECK(at::isFloatingType(type), "result type Float can't be cast to the desired output type ",
                c10::toString(type));
  }
}

std::string PythonErrorText(py::error_already_set& e) {
  return py::str(py::type::handle_of(e.value()).attr("__name__")).cast<std::string>() + ": " +
         py::str(e.value()).cast<std::string>();
}

// The global ranks of the process group `group` names (a str, or the ProcessGroup itself), as
// torch.distributed knows them.
std::vector<int64_t> GroupRanks(const c10::IValue& group) {
  py::gil_scoped_acquire gil;
  std::string failure;
  try {
    py::object dist = py::module_::import("torch.distributed");
    TORCH_CHECK(dist.attr("is_available")().cast<bool>(),
                "_c10d_functional::all_reduce: this PyTorch has no torch.distributed");
    TORCH_CHECK(dist.attr("is_initialized")().cast<bool>(),
                "_c10d_functional::all_reduce: the default process group is not initialized (call "
                "torch.distributed.init_process_group first)");
    py::object pg = torch::jit::toPyObject(group);
    if (py::isinstance<py::str>(pg)) {
      pg = dist.attr("distributed_c10d").attr("_resolve_process_group")(pg);
    }
    return dist.attr("get_process_group_ranks")(pg).cast<std::vector<int64_t>>();
  } catch (py::error_already_set& e) {
    failure = PythonErrorText(e);
  } catch (py::cast_error& e) {
    failure = e.what();
  }
  TORCH_CHECK(false, "_c10d_functional::all_reduce: cannot find the ranks of the process group ",
              group.isString() ? "'" + group.toStringRef() + "'" : std::string(group.tagKind()), ": ",
              failure);
}

// _c10d_functional::all_reduce(Tensor input, str reduce_op, Any group_name) -> Tensor
void AllReduceKernel(const c10::OperatorHandle& op, torch::jit::Stack* stack) {
  auto args = torch::jit::last(*stack, 3);
  const at::Tensor input = args[0].toTensor();
  const std::string reduce_op = args[1].toStringRef();
  const c10::IValue group = args[2];
  LazyTensorPtr lazy = TryGetLtcTensor(input);
  TORCH_CHECK(lazy, "_c10d_functional::all_reduce: expected a lazy tensor, got one on ",
              input.device());
  CheckReduceOp(reduce_op, input.scalar_type());
  std::vector<int64_t> ranks = GroupRanks(group);
  NodePtr node = MakeNode<AllReduceNode>(lazy->GetIrValue(), reduce_op, std::move(ranks),
                                         Shape(input.scalar_type(), input.sizes()));
  at::Tensor result =
      CreateAtenFromLtcTensor(LazyTensor::Create(Value(std::move(node), 0), lazy->GetDevice()));
  torch::jit::drop(*stack, 3);
  stack->emplace_back(std::move(result));
}

// _c10d_functional::wait_tensor(Tensor tensor) -> Tensor: a new tensor of the same value.
at::Tensor WaitTensorKernel(const at::Tensor& tensor) {
  LazyTensorPtr lazy = TryGetLtcTensor(tensor);
  TORCH_CHECK(lazy, "_c10d_functional::wait_tensor: expected a lazy tensor, got one on ",
              tensor.device());
  return CreateAtenFromLtcTensor(LazyTensor::Create(lazy->GetIrValue(), lazy->GetDevice()));
}

// _c10d_functional::all_reduce_(Tensor(a!) input, str reduce_op, Any group_name) -> Tensor(a!):
// above autograd and functionalization, the functional form written back with copy_, which both
// know how to handle.
void AllReduceInPlaceKernel(const c10::OperatorHandle& op, torch::jit::Stack* stack) {
  static const c10::OperatorHandle functional =
      c10::Dispatcher::singleton().findSchemaOrThrow("_c10d_functional::all_reduce", "");
  auto args = torch::jit::last(*stack, 3);
  at::Tensor self = args[0].toTensor();
  torch::jit::Stack call{args[0], args[1], args[2]};
  functional.callBoxed(&call);
  self.copy_(call.at(0).toTensor());
  torch::jit::drop(*stack, 3);
  stack->emplace_back(std::move(self));
}

}  // namespace

void register_collective_kernels() {
  // Made once and kept for the life of the process: a second registration would fail.
  static const auto lazy_library = [] {
    auto lib = std::make_unique<torch::Library>(torch::Library::IMPL, "_c10d_functional",
                                                c10::DispatchKey::Lazy, __FILE__, __LINE__);
    lib->impl("all_reduce", torch::CppFunction::makeFromBoxedFunction<&AllReduceKernel>());
    lib->impl("wait_tensor", TORCH_FN(WaitTensorKernel));
    return lib;
  }();
  static const auto autograd_library = [] {
    auto lib = std::make_unique<torch::Library>(torch::Library::IMPL, "_c10d_functional",
                                                c10::DispatchKey::AutogradLazy, __FILE__, __LINE__);
    lib->impl("all_reduce_", torch::CppFunction::makeFromBoxedFunction<&AllReduceInPlaceKernel>());
    return lib;
  }();
  (void)lazy_library;
  (void)autograd_library;
}

}  // namespace lazy
}  // namespace torch

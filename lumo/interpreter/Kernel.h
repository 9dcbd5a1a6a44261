// The interpreter's kernels: how an operation is planned (OpView, a planner per operation) and
// what its kernel sees when it runs (KernelContext).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <ATen/ATen.h>

#include "llvm/ADT/DenseMap.h"
#include "llvm/ADT/SmallVector.h"
#include "llvm/ADT/StringRef.h"
#include "llvm/ADT/Twine.h"
#include "mlir/IR/Operation.h"
#include "mlir/IR/Value.h"

#include "Program.h"

namespace lumo {

using Shape = std::vector<int64_t>;

// The operands and results of one operation while it runs.
class KernelContext {
public:
  KernelContext(std::vector<at::Tensor> &frame, llvm::ArrayRef<int32_t> operands, llvm::ArrayRef<int32_t> results,
                int32_t spare, uint64_t runNumber, const Collective *collective = nullptr,
                llvm::ArrayRef<int32_t> release = {})
      : frame_(frame), operands_(operands), results_(results), release_(release), spare_(spare),
        runNumber_(runNumber), collective_(collective) {}

  const at::Tensor &in(size_t i) const { return frame_[operands_[i]]; }
  size_t numIn() const { return operands_.size(); }
  void out(size_t i, at::Tensor value) { frame_[results_[i]] = std::move(value); }
  void out(at::Tensor value) { out(0, std::move(value)); }
  // 0 for the first run of a plan, then 1, 2, ...
  uint64_t runNumber() const { return runNumber_; }
  // The run's collective function, or null when it has none.
  const Collective *collective() const { return collective_ && *collective_ ? collective_ : nullptr; }

  // A dead value of the first result's type and shape that nothing else references, for the
  // kernel to write its result into (see OpView::acceptSpare); null when there is none.
  at::Tensor *spare() const {
    if (spare_ < 0)
      return nullptr;
    at::Tensor &t = frame_[spare_];
    bool alone = t.defined() && t.use_count() == 1 && t.storage().use_count() == 1 && t.is_contiguous() &&
                 t.storage_offset() == 0 && !t.is_neg() && !t.is_conj();
    return alone ? &t : nullptr;
  }

  // Whether the kernel may write over operand i: this step is its last use, it is a dense
  // contiguous tensor, and nothing else holds it (no view, no caller: an argument only when the
  // run was given it, see Program::execute).
  bool overwritable(size_t i) const {
    int32_t slot = operands_[i];
    if (!llvm::is_contained(release_, slot) || llvm::count(operands_, slot) != 1)
      return false;
    const at::Tensor &t = frame_[slot];
    return t.defined() && t.use_count() == 1 && t.storage().use_count() == 1 && t.is_contiguous() &&
           t.storage_offset() == 0 && t.storage().nbytes() == t.nbytes() && !t.is_neg() && !t.is_conj();
  }

private:
  std::vector<at::Tensor> &frame_;
  llvm::ArrayRef<int32_t> operands_;
  llvm::ArrayRef<int32_t> results_;
  llvm::ArrayRef<int32_t> release_;
  int32_t spare_;
  uint64_t runNumber_;
  const Collective *collective_;
};

using Kernel = std::function<void(KernelContext &)>;

// Thrown by OpView::fail after the diagnostic has been emitted at the operation.
struct PlanFailure {};

struct PlanState {
  llvm::DenseMap<mlir::Value, at::Tensor> constants; // values known when planning
  uint64_t seed = 0;                                // the function's vx.seed
};

// An operation as its planner sees it: attributes by name, operand and result types, operand
// values known at plan time.
class OpView {
public:
  OpView(mlir::Operation *op, const PlanState &state) : op_(op), state_(state) {}

  mlir::Operation *op() const { return op_; }
  uint64_t seed() const { return state_.seed; }

  size_t numOperands() const { return op_->getNumOperands(); }
  size_t numResults() const { return op_->getNumResults(); }
  Shape operandShape(size_t i) const;
  Shape resultShape(size_t i = 0) const;
  int64_t operandRank(size_t i) const { return static_cast<int64_t>(operandShape(i).size()); }
  at::ScalarType operandType(size_t i) const;
  at::ScalarType resultType(size_t i = 0) const;
  std::optional<at::Tensor> constantOperand(size_t i) const;

  bool has(llvm::StringRef name) const { return static_cast<bool>(op_->getAttr(name)); }
  std::optional<int64_t> intAttr(llvm::StringRef name) const;
  int64_t intAttr(llvm::StringRef name, int64_t otherwise) const { return intAttr(name).value_or(otherwise); }
  std::optional<Shape> intsAttr(llvm::StringRef name) const;
  Shape intsAttr(llvm::StringRef name, Shape otherwise) const;
  std::optional<double> floatAttr(llvm::StringRef name) const;
  double floatAttr(llvm::StringRef name, double otherwise) const { return floatAttr(name).value_or(otherwise); }
  std::optional<bool> boolAttr(llvm::StringRef name) const;
  bool boolAttr(llvm::StringRef name, bool otherwise) const { return boolAttr(name).value_or(otherwise); }
  std::optional<std::string> strAttr(llvm::StringRef name) const;
  std::string strAttr(llvm::StringRef name, const std::string &otherwise) const {
    return strAttr(name).value_or(otherwise);
  }
  std::optional<at::Tensor> elementsAttr(llvm::StringRef name) const;
  // The case an enum attribute of the dialect names (its spelling, e.g. "sum").
  std::optional<std::string> enumAttr(llvm::StringRef name) const;
  std::string enumAttr(llvm::StringRef name, const std::string &otherwise) const {
    return enumAttr(name).value_or(otherwise);
  }

  // A dimension attribute: negative values count from the end of `rank` dimensions.
  int64_t dim(int64_t value, int64_t rank) const;

  // Emits `message` as an error at the operation and abandons its plan.
  [[noreturn]] void fail(const llvm::Twine &message) const;

  // The kernel can write its (single) result into KernelContext::spare(), even when that is one
  // of its operands (an elementwise kernel computing in place): the plan then hands it a dead
  // value of the result's type.
  void acceptSpare() { acceptsSpare_ = true; }
  bool acceptsSpare() const { return acceptsSpare_; }

private:
  template <typename A> A attr(llvm::StringRef name, const char *kind) const;

  mlir::Operation *op_;
  const PlanState &state_;
  bool acceptsSpare_ = false;
};

// One planner per operation: checks what it can once and returns the kernel.
using Planner = Kernel (*)(OpView &);
#define LUMO_OP(Name) Kernel plan##Name(OpView &op);
#include "lumo/LumoOpList.def"

// The planner of lumo.<name>, or null when there is none.
Planner findPlanner(llvm::StringRef name);

// ------------------------------------------------------------------ shared helpers

// Element type mapping: lumo element types to ATen scalar types and back.
std::optional<at::ScalarType> scalarTypeOf(mlir::Type elementType);
std::string typeName(at::ScalarType type);
std::string shapeText(at::IntArrayRef shape);

// The value of an elements attribute (dense or dense_resource) as a new tensor.
at::Tensor materialise(mlir::Attribute attr, std::string &error);

// The integers of a 0-d or 1-d integer tensor.
Shape readInts(const at::Tensor &t);
int64_t readInt(const at::Tensor &t);

// Moves the channel dimension of a channels-last tensor to position 1 and back.
bool isChannelsLast(const std::optional<std::string> &dataFormat);
at::Tensor toChannelsFirst(const at::Tensor &t);
at::Tensor toChannelsLast(const at::Tensor &t);

// One entry per spatial dimension: broadcast a one-element list, fill an absent one.
Shape perDim(const OpView &op, llvm::StringRef name, size_t count, int64_t otherwise);

// An integer-list operand: read once while planning when it is a constant, else on every run.
class IntsOperand {
public:
  IntsOperand(const OpView &op, size_t index) : index_(index) {
    if (auto c = op.constantOperand(index))
      known_ = readInts(*c);
  }
  Shape get(const KernelContext &c) const { return known_ ? *known_ : readInts(c.in(index_)); }

private:
  size_t index_;
  std::optional<Shape> known_;
};

// The entry of `table` that an enum attribute names; an unknown case fails the plan.
template <typename Fn, size_t N>
Fn lookup(const OpView &op, llvm::StringRef attr, const std::pair<const char *, Fn> (&table)[N]) {
  std::string name = op.enumAttr(attr, "");
  for (const auto &[key, fn] : table)
    if (name == key)
      return fn;
  op.fail("unknown " + attr + " \"" + name + "\"");
}

// A kernel with one result computed from the operands.
template <typename F> Kernel single(F f) {
  return [f = std::move(f)](KernelContext &ctx) { ctx.out(f(ctx)); };
}

} // namespace lumo

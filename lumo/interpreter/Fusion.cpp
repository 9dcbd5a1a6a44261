// Fusion of elementwise regions.
//
// Grouping runs on the unfused plan, in program order: an elementwise step joins the regions of
// the steps that produce its operands when the result stays convex (no path from the region
// through a step outside it back into it) and every result has the same element count. A region
// iterates over the flat elements of its results, or, when some operand broadcasts (a bias vector,
// a row of statistics), over the result's shape with its dimensions of size 1 dropped and
// neighbouring dimensions merged where every operand treats them alike. Scalars (one element)
// broadcast in any iteration, so a chain such as an optimizer's update of one parameter gives
// the same kernel text for every parameter, whatever its shape.
//
// The kernel of a region is one linalg.generic on memrefs with dynamic sizes: one input per value
// the region reads (constants included: they are passed, not embedded, except exponents that pick
// a cheaper formula), one output per value used outside it. Values used only inside are never
// stored.
#include "Fusion.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <optional>

#include <ATen/Parallel.h>

// With PyTorch's OpenMP backend, at::parallel_for is inline: compiled without OpenMP it runs every
// chunk of a kernel on the calling thread.
#if AT_PARALLEL_OPENMP && !defined(_OPENMP)
#error "Fusion.cpp needs -fopenmp: fused kernels would run on one thread"
#endif

#include "Plan.h"
#include "mlir/IR/BuiltinTypes.h"
#include "mlir/IR/Dialect.h"
#include "llvm/Support/SHA256.h"

namespace lumo {
namespace {

enum class Role { None, Compute, PassThrough };

bool isFloat(at::ScalarType t) { return t == at::kFloat || t == at::kDouble; }
bool isFusible(at::ScalarType t) { return isFloat(t) || t == at::kBool; }

const char *scalarText(at::ScalarType t) { return t == at::kFloat ? "f32" : t == at::kDouble ? "f64" : "i1"; }
// Booleans are bytes in memory.
const char *memoryText(at::ScalarType t) { return t == at::kBool ? "i8" : scalarText(t); }

struct ValueType {
  Shape shape;
  at::ScalarType dtype = at::kFloat;
  bool ok = false;
};

ValueType typeOf(mlir::Value v) {
  ValueType r;
  auto tensor = v.getType().dyn_cast<mlir::RankedTensorType>();
  if (!tensor || !tensor.hasStaticShape())
    return r;
  auto dtype = scalarTypeOf(tensor.getElementType());
  if (!dtype)
    return r;
  r.shape.assign(tensor.getShape().begin(), tensor.getShape().end());
  r.dtype = *dtype;
  r.ok = true;
  return r;
}

int64_t elementCount(const Shape &s) {
  int64_t n = 1;
  for (int64_t d : s)
    n *= d;
  return n;
}

Shape squeezed(const Shape &s) {
  Shape r;
  for (int64_t d : s)
    if (d != 1)
      r.push_back(d);
  return r;
}

std::string enumOf(mlir::Operation *op, llvm::StringRef name) {
  mlir::Attribute a = op->getAttr(name);
  if (!a)
    return "";
  std::string text;
  llvm::raw_string_ostream os(text);
  os << a;
  os.flush();
  // #lumo.kind<case> or #lumo<kind case>: the case is the last word before '>'.
  size_t end = text.rfind('>');
  if (end == std::string::npos)
    return text;
  size_t begin = text.find_last_of("< ", end - 1);
  return begin == std::string::npos ? text : text.substr(begin + 1, end - begin - 1);
}

std::optional<double> floatAttrOf(mlir::Operation *op, llvm::StringRef name) {
  if (auto f = op->getAttrOfType<mlir::FloatAttr>(name))
    return f.getValueAsDouble();
  return std::nullopt;
}

// The value of a one-element constant operand, if it is one.
std::optional<double> scalarConstant(const PlanState &state, mlir::Value v) {
  auto it = state.constants.find(v);
  if (it == state.constants.end() || it->second.numel() != 1 || !it->second.is_floating_point())
    return std::nullopt;
  return it->second.item<double>();
}

const char *const kUnaryKinds[] = {"neg", "rsqrt", "silu", "log1p", "expm1", "log2", "isnan"};
const char *const kBinaryKinds[] = {"maximum", "minimum"};
const char *const kComputeOps[] = {"Add",        "Sub",         "Mul",         "Div",       "Pow",     "Sqrt",
                                   "Exp",        "Log",         "Tanh",        "Erf",       "Abs",     "Floor",
                                   "Ceil",       "Reciprocal",  "Sigmoid",     "Relu",      "ReluGrad", "SigmoidGrad",
                                   "LeakyRelu",  "LeakyReluGrad", "Gelu",      "GeluGrad",  "Clamp",   "Select",
                                   "Compare",    "Cast",        "Sign",        "Unary",     "Binary"};
const char *const kPassThroughOps[] = {"Reshape", "ScopeBoundary", "TagGradient"};

template <size_t N> bool contains(const char *const (&list)[N], llvm::StringRef name) {
  for (const char *s : list)
    if (name == s)
      return true;
  return false;
}

// What fusion makes of an operation: computed in a kernel, passed through (its result is its
// operand's elements), or left alone. Checks the element types each operation allows.
Role roleOf(mlir::Operation *op) {
  if (!op->getDialect() || op->getDialect()->getNamespace() != "lumo" || op->getNumResults() != 1 ||
      op->getNumOperands() == 0)
    return Role::None;
  llvm::StringRef name = op->getName().stripDialect();
  ValueType result = typeOf(op->getResult(0));
  if (!result.ok || !isFusible(result.dtype))
    return Role::None;
  llvm::SmallVector<ValueType, 4> operands;
  for (mlir::Value v : op->getOperands()) {
    operands.push_back(typeOf(v));
    if (!operands.back().ok || !isFusible(operands.back().dtype))
      return Role::None;
  }
  auto allFloat = [&](at::ScalarType t) {
    return std::all_of(operands.begin(), operands.end(), [&](const ValueType &v) { return v.dtype == t; });
  };
  if (contains(kPassThroughOps, name))
    return op->getNumOperands() == 1 && operands[0].dtype == result.dtype ? Role::PassThrough : Role::None;
  if (!contains(kComputeOps, name))
    return Role::None;
  if (name == "Compare")
    return result.dtype == at::kBool && isFloat(operands[0].dtype) && allFloat(operands[0].dtype) &&
                   !enumOf(op, "comparison_direction").empty()
               ? Role::Compute
               : Role::None;
  if (name == "Select")
    return operands.size() == 3 && operands[0].dtype == at::kBool && isFloat(result.dtype) &&
                   operands[1].dtype == result.dtype && operands[2].dtype == result.dtype
               ? Role::Compute
               : Role::None;
  if (name == "Cast")
    return Role::Compute;
  if (name == "Unary") {
    std::string kind = enumOf(op, "kind");
    if (!contains(kUnaryKinds, kind) || !isFloat(operands[0].dtype))
      return Role::None;
    return (kind == "isnan" ? result.dtype == at::kBool : result.dtype == operands[0].dtype) ? Role::Compute
                                                                                          : Role::None;
  }
  if (name == "Binary" && !contains(kBinaryKinds, enumOf(op, "kind")))
    return Role::None;
  if ((name == "Gelu" || name == "GeluGrad")) {
    std::string a = enumOf(op, "approximation");
    if (!a.empty() && a != "none" && a != "tanh")
      return Role::None;
  }
  return isFloat(result.dtype) && allFloat(result.dtype) ? Role::Compute : Role::None;
}

// ------------------------------------------------------------------ kernel text

// The body of the linalg.generic: scalar SSA values, one line each.
class Body {
public:
  std::string text;

  std::string fresh() { return "%v" + std::to_string(counter_++); }

  std::string emit(const std::string &rhs) {
    std::string name = fresh();
    text += "    " + name + " = " + rhs + "\n";
    return name;
  }

  // A floating-point constant, exact: its bits in hexadecimal.
  std::string constant(double value, at::ScalarType t) {
    char buffer[40];
    if (t == at::kFloat) {
      float f = static_cast<float>(value);
      uint32_t bits;
      std::memcpy(&bits, &f, sizeof bits);
      std::snprintf(buffer, sizeof buffer, "0x%08X", bits);
    } else {
      uint64_t bits;
      std::memcpy(&bits, &value, sizeof bits);
      std::snprintf(buffer, sizeof buffer, "0x%016llX", static_cast<unsigned long long>(bits));
    }
    std::string key = std::string(buffer) + scalarText(t);
    auto it = constants_.find(key);
    if (it != constants_.end())
      return it->second;
    return constants_[key] = emit("arith.constant " + std::string(buffer) + " : " + scalarText(t));
  }

  std::string bin(const char *op, const std::string &a, const std::string &b, at::ScalarType t) {
    return emit(std::string(op) + " " + a + ", " + b + " : " + scalarText(t));
  }
  std::string un(const char *op, const std::string &a, at::ScalarType t) {
    return emit(std::string(op) + " " + a + " : " + scalarText(t));
  }
  std::string cmp(const char *predicate, const std::string &a, const std::string &b, at::ScalarType t) {
    return emit(std::string("arith.cmpf ") + predicate + ", " + a + ", " + b + " : " + scalarText(t));
  }
  std::string select(const std::string &c, const std::string &a, const std::string &b, at::ScalarType t) {
    return emit("arith.select " + c + ", " + a + ", " + b + " : " + scalarText(t));
  }
  // NaN-propagating maximum and minimum (torch.maximum / torch.minimum).
  std::string extremum(bool max, const std::string &a, const std::string &b, at::ScalarType t) {
    std::string better = cmp(max ? "ogt" : "olt", a, b, t);
    std::string pick = select(better, a, b, t);
    std::string unordered = cmp("uno", a, b, t);
    std::string nan = bin("arith.addf", a, b, t);
    return select(unordered, nan, pick, t);
  }

private:
  int counter_ = 0;
  std::map<std::string, std::string> constants_;
};

// Emits the scalar computation of `op` on operand values `x`; returns the result's name.
// `state` gives the values of constant operands (exponents of Pow).
std::string emitOperation(Body &b, mlir::Operation *op, const std::vector<std::string> &x, const PlanState &state) {
  llvm::StringRef name = op->getName().stripDialect();
  ValueType result = typeOf(op->getResult(0));
  at::ScalarType t = result.dtype;
  auto c = [&](double v) { return b.constant(v, t); };
  if (name == "Add")
    return b.bin("arith.addf", x[0], x[1], t);
  if (name == "Sub")
    return b.bin("arith.subf", x[0], x[1], t);
  if (name == "Mul")
    return b.bin("arith.mulf", x[0], x[1], t);
  if (name == "Div")
    return b.bin("arith.divf", x[0], x[1], t);
  if (name == "Pow") {
    if (std::optional<double> e = scalarConstant(state, op->getOperand(1))) {
      if (*e == 0)
        return c(1);
      if (*e == 1)
        return x[0];
      if (*e == 2)
        return b.bin("arith.mulf", x[0], x[0], t);
      if (*e == 3)
        return b.bin("arith.mulf", b.bin("arith.mulf", x[0], x[0], t), x[0], t);
      if (*e == 0.5)
        return b.un("math.sqrt", x[0], t);
      if (*e == -0.5)
        return b.bin("arith.divf", c(1), b.un("math.sqrt", x[0], t), t);
      if (*e == -1)
        return b.bin("arith.divf", c(1), x[0], t);
      if (*e == -2)
        return b.bin("arith.divf", c(1), b.bin("arith.mulf", x[0], x[0], t), t);
    }
    return b.bin("math.powf", x[0], x[1], t);
  }
  if (name == "Sqrt")
    return b.un("math.sqrt", x[0], t);
  if (name == "Exp")
    return b.un("math.exp", x[0], t);
  if (name == "Log")
    return b.un("math.log", x[0], t);
  if (name == "Tanh")
    return b.un("math.tanh", x[0], t);
  if (name == "Erf")
    return b.un("math.erf", x[0], t);
  if (name == "Abs")
    return b.un("math.absf", x[0], t);
  if (name == "Floor")
    return b.un("math.floor", x[0], t);
  if (name == "Ceil")
    return b.un("math.ceil", x[0], t);
  if (name == "Reciprocal")
    return b.bin("arith.divf", c(1), x[0], t);
  if (name == "Sigmoid") // 1 / (1 + exp(-x)), as ATen
    return b.bin("arith.divf", c(1), b.bin("arith.addf", c(1), b.un("math.exp", b.un("arith.negf", x[0], t), t), t),
                 t);
  if (name == "Relu") // max(x, 0), NaN stays NaN
    return b.select(b.cmp("olt", x[0], c(0), t), c(0), x[0], t);
  if (name == "ReluGrad") // features <= 0 ? 0 : gradients
    return b.select(b.cmp("ole", x[1], c(0), t), c(0), x[0], t);
  if (name == "SigmoidGrad") // dy * (1 - y) * y
    return b.bin("arith.mulf", b.bin("arith.mulf", x[1], b.bin("arith.subf", c(1), x[0], t), t), x[0], t);
  if (name == "LeakyRelu") {
    double alpha = floatAttrOf(op, "alpha").value_or(0.01);
    return b.select(b.cmp("ogt", x[0], c(0), t), x[0], b.bin("arith.mulf", x[0], c(alpha), t), t);
  }
  if (name == "LeakyReluGrad") {
    double alpha = floatAttrOf(op, "alpha").value_or(0.01);
    return b.select(b.cmp("ogt", x[1], c(0), t), x[0], b.bin("arith.mulf", x[0], c(alpha), t), t);
  }
  if (name == "Gelu" || name == "GeluGrad") {
    bool tanhForm = enumOf(op, "approximation") == "tanh";
    bool grad = name == "GeluGrad";
    const std::string &v = grad ? x[1] : x[0];
    if (!tanhForm) {
      // cdf = 0.5 * (1 + erf(x / sqrt(2)))
      std::string erf = b.un("math.erf", b.bin("arith.mulf", v, c(M_SQRT1_2), t), t);
      if (!grad)
        return b.bin("arith.mulf", b.bin("arith.mulf", v, c(0.5), t), b.bin("arith.addf", c(1), erf, t), t);
      std::string cdf = b.bin("arith.mulf", c(0.5), b.bin("arith.addf", c(1), erf, t), t);
      std::string sq = b.bin("arith.mulf", v, v, t);
      std::string pdf = b.bin("arith.mulf", c(M_2_SQRTPI * M_SQRT1_2 * 0.5),
                              b.un("math.exp", b.bin("arith.mulf", sq, c(-0.5), t), t), t);
      return b.bin("arith.mulf", x[0], b.bin("arith.addf", cdf, b.bin("arith.mulf", v, pdf, t), t), t);
    }
    const double beta = M_SQRT2 * M_2_SQRTPI * 0.5, kappa = 0.044715;
    std::string sq = b.bin("arith.mulf", v, v, t);
    std::string cube = b.bin("arith.mulf", sq, v, t);
    std::string inner = b.bin("arith.mulf", c(beta), b.bin("arith.addf", v, b.bin("arith.mulf", c(kappa), cube, t), t), t);
    std::string th = b.un("math.tanh", inner, t);
    std::string right = b.bin("arith.addf", c(1), th, t);
    if (!grad)
      return b.bin("arith.mulf", b.bin("arith.mulf", c(0.5), v, t), right, t);
    std::string left = b.bin("arith.mulf", c(0.5), v, t);
    std::string leftDerivative = b.bin("arith.mulf", c(0.5), right, t);
    std::string tanhDerivative = b.bin("arith.subf", c(1), b.bin("arith.mulf", th, th, t), t);
    std::string innerDerivative =
        b.bin("arith.mulf", c(beta), b.bin("arith.addf", c(1), b.bin("arith.mulf", c(3 * kappa), sq, t), t), t);
    std::string rightDerivative =
        b.bin("arith.mulf", b.bin("arith.mulf", left, tanhDerivative, t), innerDerivative, t);
    return b.bin("arith.mulf", x[0], b.bin("arith.addf", leftDerivative, rightDerivative, t), t);
  }
  if (name == "Clamp")
    return b.extremum(false, b.extremum(true, x[0], x[1], t), x[2], t);
  if (name == "Select")
    return b.select(x[0], x[1], x[2], t);
  if (name == "Compare") {
    static const std::pair<const char *, const char *> predicates[] = {
        {"EQ", "oeq"}, {"NE", "une"}, {"LT", "olt"}, {"LE", "ole"}, {"GT", "ogt"}, {"GE", "oge"}};
    std::string direction = enumOf(op, "comparison_direction");
    at::ScalarType from = typeOf(op->getOperand(0)).dtype;
    for (const auto &[d, p] : predicates)
      if (direction == d)
        return b.cmp(p, x[0], x[1], from);
    return "";
  }
  if (name == "Cast") {
    at::ScalarType from = typeOf(op->getOperand(0)).dtype;
    if (from == t)
      return x[0];
    if (from == at::kBool)
      return b.emit("arith.uitofp " + x[0] + " : i1 to " + scalarText(t));
    if (t == at::kBool) // non-zero (NaN included) is true
      return b.cmp("une", x[0], b.constant(0, from), from);
    if (t == at::kDouble)
      return b.emit("arith.extf " + x[0] + " : f32 to f64");
    return b.emit("arith.truncf " + x[0] + " : f64 to f32");
  }
  if (name == "Sign") {
    std::string negative = b.select(b.cmp("olt", x[0], c(0), t), c(-1), c(0), t);
    return b.select(b.cmp("ogt", x[0], c(0), t), c(1), negative, t);
  }
  if (name == "Unary") {
    std::string kind = enumOf(op, "kind");
    at::ScalarType from = typeOf(op->getOperand(0)).dtype;
    if (kind == "neg")
      return b.un("arith.negf", x[0], t);
    if (kind == "rsqrt")
      return b.bin("arith.divf", c(1), b.un("math.sqrt", x[0], t), t);
    if (kind == "silu") // x / (1 + exp(-x)), as ATen
      return b.bin("arith.divf", x[0], b.bin("arith.addf", c(1), b.un("math.exp", b.un("arith.negf", x[0], t), t), t),
                   t);
    if (kind == "log1p")
      return b.un("math.log1p", x[0], t);
    if (kind == "expm1")
      return b.un("math.expm1", x[0], t);
    if (kind == "log2")
      return b.un("math.log2", x[0], t);
    if (kind == "isnan")
      return b.cmp("uno", x[0], x[0], from);
    return "";
  }
  if (name == "Binary")
    return b.extremum(enumOf(op, "kind") == "maximum", x[0], x[1], t);
  return "";
}

std::string hexDigest(llvm::StringRef text) {
  llvm::SHA256 hash;
  hash.update(text);
  auto digest = hash.final();
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < 16; ++i) {
    hex += digits[digest[i] >> 4];
    hex += digits[digest[i] & 15];
  }
  return hex;
}

// ------------------------------------------------------------------ grouping

struct Group {
  std::vector<size_t> members;
  int64_t count = 0;
  std::optional<Shape> frame; // squeezed result shape, when a member broadcasts an operand
  size_t compute = 0;
  bool alive = true;
  std::vector<size_t> recomputed; // steps of other groups whose values this one computes again (sorted)
  std::vector<size_t> relies;     // groups that compute values of this one again, which it then need not store
};

class Grouper {
public:
  Grouper(const std::vector<Step> &steps, const std::vector<mlir::Operation *> &ops,
          const std::vector<int32_t> &resultSlots, const std::map<int32_t, int32_t> &updates,
          const PlanState &state, size_t slotCount)
      : steps_(steps), ops_(ops), resultSlots_(resultSlots), updates_(updates), state_(state),
        producer_(slotCount, -1),
        readers_(slotCount), groupOf_(steps.size(), -1), mark_(steps.size(), 0), visited_(steps.size(), 0) {
    for (size_t s = 0; s < steps.size(); ++s) {
      for (int32_t slot : steps[s].results)
        producer_[slot] = static_cast<int64_t>(s);
      for (int32_t slot : steps[s].operands)
        readers_[slot].push_back(s);
    }
  }

  std::vector<FusionRegion> run() {
    for (size_t s = 0; s < steps_.size(); ++s)
      consider(s);
    for (Group &g : groups_)
      std::sort(g.members.begin(), g.members.end());
    recompute();
    for (int attempt = 0;; ++attempt) {
      std::vector<FusionRegion> regions;
      std::vector<int64_t> regionOf(groups_.size(), -1);
      bool broken = false;
      for (size_t gi = 0; gi < groups_.size(); ++gi) {
        Group &g = groups_[gi];
        if (!fusible(g))
          continue;
        if (std::optional<FusionRegion> r = build(g)) {
          regionOf[gi] = static_cast<int64_t>(regions.size());
          regions.push_back(std::move(*r));
        } else if (!g.recomputed.empty()) {
          broken = true; // the groups it relies on would not store what it computes again
        }
      }
      if (broken && attempt == 0) {
        for (Group &g : groups_)
          g.recomputed.clear(), g.relies.clear();
        continue;
      }
      for (size_t gi = 0; gi < groups_.size(); ++gi)
        if (regionOf[gi] >= 0)
          for (size_t r : groups_[gi].relies)
            regions[static_cast<size_t>(regionOf[gi])].requires.push_back(static_cast<size_t>(regionOf[r]));
      return regions;
    }
  }

private:
  static bool fusible(const Group &g) { return g.alive && g.compute >= 2 && g.count > 0; }

  bool recomputes(const Group &g, size_t step) const {
    return std::binary_search(g.recomputed.begin(), g.recomputed.end(), step);
  }

  // Rematerialisation: a group R that reads values another group P computes (as the gradient of an
  // activation reads what its forward pass kept) computes them again from P's inputs when that
  // keeps fewer values alive between the two: P then stores none of the values R alone reads.
  // Both must then be fused (FusionRegion::requires).
  void recompute() {
    for (size_t ri = 0; ri < groups_.size(); ++ri) {
      Group &r = groups_[ri];
      if (!fusible(r))
        continue;
      std::vector<bool> inR(steps_.size(), false);
      for (size_t m : r.members)
        inR[m] = true;
      std::map<int64_t, std::vector<int32_t>> read; // group -> slots of its members that R reads
      std::set<int32_t> rInputs;                    // what R reads from outside any group
      for (size_t m : r.members)
        for (size_t i = 0; i < steps_[m].operands.size(); ++i) {
          int32_t slot = steps_[m].operands[i];
          int64_t p = producer_[slot];
          if (embedded(m, i) || (p >= 0 && inR[p]))
            continue;
          int64_t pg = p >= 0 ? groupOf_[p] : -1;
          if (pg >= 0 && pg != static_cast<int64_t>(ri) && fusible(groups_[pg]))
            read[pg].push_back(slot);
          else
            rInputs.insert(slot);
        }
      for (auto &[pi, slots] : read) {
        Group &p = groups_[pi];
        // R takes P's frame when it has none: its own operands are then all full-size.
        if (p.count != r.count || (r.frame && p.frame != r.frame) || !p.recomputed.empty() || !r.relies.empty())
          continue;
        std::vector<bool> inP(steps_.size(), false);
        for (size_t m : p.members)
          inP[m] = true;
        // The members of P the slots depend on, and the inputs of P they reach.
        std::set<size_t> steps;
        std::map<int32_t, int64_t> need; // slot -> its element count
        std::vector<int32_t> stack(slots.begin(), slots.end());
        while (!stack.empty()) {
          int32_t slot = stack.back();
          stack.pop_back();
          int64_t q = producer_[slot];
          if (!steps.insert(static_cast<size_t>(q)).second)
            continue;
          for (size_t i = 0; i < steps_[q].operands.size(); ++i) {
            int32_t operand = steps_[q].operands[i];
            int64_t o = producer_[operand];
            if (embedded(q, i))
              continue;
            if (o >= 0 && inP[o])
              stack.push_back(operand);
            else
              need.emplace(operand, elementCount(typeOf(ops_[q]->getOperand(i)).shape));
          }
        }
        // Full-size values R would newly keep alive (scalars, per-row or per-column operands and
        // constants cost little).
        size_t added = 0;
        for (const auto &[slot, n] : need)
          added += !rInputs.count(slot) && n == r.count && producer_[slot] >= 0;
        // Values P would no longer store: read outside P by R alone, and no result of the program.
        size_t dropped = 0;
        std::set<int32_t> unique(slots.begin(), slots.end());
        for (int32_t slot : unique) {
          bool onlyR = std::find(resultSlots_.begin(), resultSlots_.end(), slot) == resultSlots_.end();
          for (size_t reader : readers_[slot])
            onlyR = onlyR && (inP[reader] || inR[reader]);
          dropped += onlyR;
        }
        if (dropped <= added)
          continue;
        if (!r.frame)
          r.frame = p.frame;
        r.recomputed.insert(r.recomputed.end(), steps.begin(), steps.end());
        std::sort(r.recomputed.begin(), r.recomputed.end());
        p.relies.push_back(ri);
        for (const auto &[slot, n] : need)
          rInputs.insert(slot);
      }
    }
  }

  // The operand indices of step `s` that the kernel reads (a constant exponent of Pow is built in).
  bool embedded(size_t s, size_t operand) const {
    mlir::Operation *op = ops_[s];
    return op->getName().stripDialect() == "Pow" && operand == 1 && scalarConstant(state_, op->getOperand(1)) &&
           [&] {
             double e = *scalarConstant(state_, op->getOperand(1));
             return e == 0 || e == 1 || e == 2 || e == 3 || e == 0.5 || e == -0.5 || e == -1 || e == -2;
           }();
  }

  void consider(size_t s) {
    mlir::Operation *op = ops_[s];
    if (!op || steps_[s].results.size() != 1)
      return;
    Role role = roleOf(op);
    if (role == Role::None)
      return;
    ValueType result = typeOf(op->getResult(0));
    int64_t count = elementCount(result.shape);
    std::optional<Shape> frame;
    for (size_t i = 0; i < op->getNumOperands(); ++i) {
      int64_t n = elementCount(typeOf(op->getOperand(i)).shape);
      if (n != count && n != 1 && !embedded(s, i))
        frame = squeezed(result.shape);
    }
    // The groups of the producers of its operands that it could join.
    std::vector<int64_t> candidates;
    for (int32_t slot : steps_[s].operands) {
      int64_t p = producer_[slot];
      if (p < 0 || groupOf_[p] < 0)
        continue;
      int64_t g = groupOf_[p];
      if (groups_[g].count == count && std::find(candidates.begin(), candidates.end(), g) == candidates.end())
        candidates.push_back(g);
    }
    auto compatible = [&](const std::vector<int64_t> &gs, std::optional<Shape> &merged) {
      merged = frame;
      for (int64_t g : gs)
        if (groups_[g].frame) {
          if (merged && *merged != *groups_[g].frame)
            return false;
          merged = groups_[g].frame;
        }
      return true;
    };
    auto tryJoin = [&](const std::vector<int64_t> &gs) {
      std::optional<Shape> merged;
      if (gs.empty() || !compatible(gs, merged))
        return false;
      std::vector<size_t> members{s};
      for (int64_t g : gs)
        members.insert(members.end(), groups_[g].members.begin(), groups_[g].members.end());
      if (!convex(members))
        return false;
      Group &into = groups_[gs[0]];
      for (size_t k = 1; k < gs.size(); ++k) {
        Group &from = groups_[gs[k]];
        for (size_t m : from.members)
          groupOf_[m] = gs[0];
        into.members.insert(into.members.end(), from.members.begin(), from.members.end());
        into.compute += from.compute;
        from.alive = false;
        from.members.clear();
      }
      into.members.push_back(s);
      into.frame = merged;
      into.compute += role == Role::Compute;
      groupOf_[s] = gs[0];
      return true;
    };
    if (tryJoin(candidates))
      return;
    std::sort(candidates.begin(), candidates.end(),
              [&](int64_t a, int64_t b) { return groups_[a].members.size() > groups_[b].members.size(); });
    for (int64_t g : candidates)
      if (tryJoin({g}))
        return;
    if (role != Role::Compute)
      return; // a pass-through only joins a region
    Group g;
    g.members.push_back(s);
    g.count = count;
    g.frame = frame;
    g.compute = 1;
    groupOf_[s] = static_cast<int64_t>(groups_.size());
    groups_.push_back(std::move(g));
  }

  // Whether `members` is convex: no step outside it both depends on a member and feeds one.
  // Searches backwards from the members' outside operands; a search that grows too large counts
  // as not convex.
  bool convex(const std::vector<size_t> &members) {
    constexpr size_t kMaxVisits = 20000;
    ++stamp_;
    size_t first = *std::min_element(members.begin(), members.end());
    for (size_t m : members)
      mark_[m] = stamp_;
    std::vector<size_t> stack;
    for (size_t m : members)
      for (int32_t slot : steps_[m].operands) {
        int64_t p = producer_[slot];
        if (p >= static_cast<int64_t>(first) && mark_[p] != stamp_)
          stack.push_back(static_cast<size_t>(p));
      }
    size_t visits = 0;
    while (!stack.empty()) {
      size_t q = stack.back();
      stack.pop_back();
      if (visited_[q] == stamp_)
        continue;
      visited_[q] = stamp_;
      if (++visits > kMaxVisits)
        return false;
      for (int32_t slot : steps_[q].operands) {
        int64_t p = producer_[slot];
        if (p < static_cast<int64_t>(first))
          continue;
        if (mark_[p] == stamp_)
          return false;
        stack.push_back(static_cast<size_t>(p));
      }
    }
    return true;
  }

  std::optional<FusionRegion> build(const Group &g) {
    FusionRegion region;
    region.members = g.members;
    std::vector<bool> member(steps_.size(), false), inside(steps_.size(), false);
    for (size_t m : g.members)
      member[m] = inside[m] = true;
    // Its members and the steps of other regions it computes again, in plan order.
    std::vector<size_t> all = g.members;
    for (size_t m : g.recomputed)
      inside[m] = true;
    all.insert(all.end(), g.recomputed.begin(), g.recomputed.end());
    std::sort(all.begin(), all.end());

    // The iteration space before merging dimensions, and each input's use of it.
    Shape frame = g.frame ? *g.frame : Shape{g.count};
    std::map<int32_t, size_t> inputOf;       // slot -> index in region.inputs
    std::map<int32_t, std::string> valueOf; // slot -> SSA name inside the body
    std::vector<std::string> inputNames;
    for (size_t m : all) {
      mlir::Operation *op = ops_[m];
      ValueType result = typeOf(op->getResult(0));
      Shape resultFrame = squeezed(result.shape);
      for (size_t i = 0; i < op->getNumOperands(); ++i) {
        int32_t slot = steps_[m].operands[i];
        int64_t p = producer_[slot];
        if ((p >= 0 && inside[p]) || embedded(m, i) || inputOf.count(slot))
          continue;
        ValueType t = typeOf(op->getOperand(i));
        FusionInput in;
        in.slot = slot;
        in.dtype = t.dtype;
        int64_t n = elementCount(t.shape);
        if (n == g.count) {
          in.used.assign(frame.size(), true);
        } else if (n == 1) {
          in.used.assign(frame.size(), false);
        } else {
          // Broadcast against the member's result: right-aligned dimensions, size-1 ones dropped.
          if (!g.frame || resultFrame != frame)
            return std::nullopt;
          size_t offset = result.shape.size() - t.shape.size();
          for (size_t d = 0; d < result.shape.size(); ++d) {
            if (result.shape[d] == 1)
              continue;
            in.used.push_back(d >= offset && t.shape[d - offset] == result.shape[d]);
          }
        }
        inputOf[slot] = region.inputs.size();
        region.inputs.push_back(std::move(in));
      }
    }
    if (region.inputs.empty())
      return std::nullopt;

    // Merge neighbouring dimensions that every input uses alike.
    Shape iteration;
    std::vector<std::vector<bool>> used(region.inputs.size());
    for (size_t d = 0; d < frame.size(); ++d) {
      bool merge = d > 0;
      for (const FusionInput &in : region.inputs)
        merge = merge && in.used[d] == in.used[d - 1];
      if (merge) {
        iteration.back() *= frame[d];
        continue;
      }
      iteration.push_back(frame[d]);
      for (size_t i = 0; i < used.size(); ++i)
        used[i].push_back(region.inputs[i].used[d]);
    }
    if (iteration.empty()) {
      iteration.push_back(1);
      for (auto &u : used)
        u.push_back(true);
    }
    for (size_t i = 0; i < used.size(); ++i)
      region.inputs[i].used = used[i];
    region.iteration = iteration;

    // The body.
    Body body;
    for (size_t i = 0; i < region.inputs.size(); ++i) {
      const FusionInput &in = region.inputs[i];
      valueOf[in.slot] = in.dtype == at::kBool ? "" : "%a" + std::to_string(i);
    }
    // Booleans arrive as bytes.
    for (size_t i = 0; i < region.inputs.size(); ++i)
      if (region.inputs[i].dtype == at::kBool) {
        std::string zero = body.emit("arith.constant 0 : i8");
        valueOf[region.inputs[i].slot] = body.emit("arith.cmpi ne, %a" + std::to_string(i) + ", " + zero + " : i8");
      }
    for (size_t m : all) {
      mlir::Operation *op = ops_[m];
      std::vector<std::string> x;
      for (size_t i = 0; i < op->getNumOperands(); ++i) {
        if (embedded(m, i)) {
          x.push_back("");
          continue;
        }
        auto it = valueOf.find(steps_[m].operands[i]);
        if (it == valueOf.end())
          return std::nullopt;
        x.push_back(it->second);
      }
      std::string r = roleOf(op) == Role::PassThrough ? x[0] : emitOperation(body, op, x, state_);
      if (r.empty())
        return std::nullopt;
      valueOf[steps_[m].results[0]] = r;
    }

    // Outputs: values read by a step outside the region, or results of the program.
    std::vector<std::string> yields;
    for (size_t m : g.members) {
      int32_t slot = steps_[m].results[0];
      bool outside = std::find(resultSlots_.begin(), resultSlots_.end(), slot) != resultSlots_.end();
      for (size_t r : readers_[slot])
        outside = outside || (!member[r] && !(groupOf_[r] >= 0 && recomputes(groups_[groupOf_[r]], m)));
      if (!outside)
        continue;
      const Expected &e = steps_[m].expected[0];
      region.outputs.push_back(slot);
      region.outputTypes.push_back(e.dtype);
      region.outputShapes.push_back(e.shape);
      std::string v = valueOf[slot];
      if (e.dtype == at::kBool)
        v = body.emit("arith.extui " + v + " : i1 to i8");
      yields.push_back(v);
    }
    if (region.outputs.empty())
      return std::nullopt;

    // The function.
    size_t rank = iteration.size();
    std::string dims;
    for (size_t d = 0; d < rank; ++d)
      dims += (d ? ", d" : "d") + std::to_string(d);
    auto memref = [&](size_t usedRank, at::ScalarType t) {
      std::string s = "memref<";
      for (size_t d = 0; d < usedRank; ++d)
        s += "?x";
      return s + memoryText(t) + ">";
    };
    auto map = [&](const std::vector<bool> &u) {
      std::string s = "affine_map<(" + dims + ") -> (";
      bool first = true;
      for (size_t d = 0; d < rank; ++d)
        if (u[d]) {
          s += (first ? "d" : ", d") + std::to_string(d);
          first = false;
        }
      return s + ")>";
    };
    // Outputs that may be written over an input: the new value of a full-size, non-boolean input
    // that the program updates with it.
    region.inputOfOutput.assign(region.outputs.size(), -1);
    bool anyInPlace = false;
    for (size_t o = 0; o < region.outputs.size(); ++o) {
      auto update = updates_.find(region.outputs[o]);
      if (update == updates_.end() || !inputOf.count(update->second))
        continue;
      size_t i = inputOf[update->second];
      const FusionInput &in = region.inputs[i];
      if (in.dtype != region.outputTypes[o] || in.dtype == at::kBool ||
          std::find(in.used.begin(), in.used.end(), false) != in.used.end() ||
          std::find(region.inputOfOutput.begin(), region.inputOfOutput.end(), static_cast<int64_t>(i)) !=
              region.inputOfOutput.end())
        continue;
      region.inputOfOutput[o] = static_cast<int64_t>(i);
      anyInPlace = true;
    }

    // The function; with `inPlace`, each output in region.inputOfOutput takes the place of its
    // input: the input is no argument of its own, and the output's block argument (read before
    // it is written, element by element) carries the input's name.
    auto functionText = [&](bool inPlace) {
      std::vector<bool> replaced(region.inputs.size(), false);
      if (inPlace)
        for (int64_t i : region.inputOfOutput)
          if (i >= 0)
            replaced[static_cast<size_t>(i)] = true;
      std::string args, maps, insNames, insTypes, outsNames, outsTypes, blockArgs, yieldTypes;
      auto sep = [](const std::string &s) { return std::string(s.empty() ? "" : ", "); };
      for (size_t i = 0; i < region.inputs.size(); ++i) {
        if (replaced[i])
          continue;
        const FusionInput &in = region.inputs[i];
        size_t r = std::count(in.used.begin(), in.used.end(), true);
        std::string type = memref(r, in.dtype);
        args += sep(args) + std::string("%in") + std::to_string(i) + ": " + type + " {llvm.noalias}";
        maps += sep(maps) + map(in.used);
        insNames += sep(insNames) + std::string("%in") + std::to_string(i);
        insTypes += sep(insTypes) + type;
        blockArgs += sep(blockArgs) + "%a" + std::to_string(i) + ": " + memoryText(in.dtype);
      }
      std::vector<bool> full(rank, true);
      for (size_t o = 0; o < region.outputs.size(); ++o) {
        std::string type = memref(rank, region.outputTypes[o]);
        args += sep(args) + "%out" + std::to_string(o) + ": " + type + " {llvm.noalias}";
        maps += sep(maps) + map(full);
        outsNames += sep(outsNames) + std::string("%out") + std::to_string(o);
        outsTypes += sep(outsTypes) + type;
        int64_t over = inPlace ? region.inputOfOutput[o] : -1;
        blockArgs += sep(blockArgs) + (over >= 0 ? "%a" + std::to_string(over) : "%o" + std::to_string(o)) + ": " +
                     memoryText(region.outputTypes[o]);
        yieldTypes += sep(yieldTypes) + std::string(memoryText(region.outputTypes[o]));
      }
      std::string iterators;
      for (size_t d = 0; d < rank; ++d)
        iterators += (d ? ", " : "") + std::string("\"parallel\"");
      std::string yieldNames;
      for (size_t o = 0; o < yields.size(); ++o)
        yieldNames += (o ? ", " : "") + yields[o];
      std::string ins = insNames.empty() ? "" : "      ins(" + insNames + " : " + insTypes + ")";
      std::string text = "func.func @kernel(" + args + ") attributes {llvm.emit_c_interface} {\n";
      text += "  linalg.generic {indexing_maps = [" + maps + "], iterator_types = [" + iterators + "]}\n";
      text += ins + " outs(" + outsNames + " : " + outsTypes + ") {\n";
      text += "  ^bb0(" + blockArgs + "):\n";
      text += body.text;
      text += "    linalg.yield " + yieldNames + " : " + yieldTypes + "\n";
      text += "  }\n  return\n}\n";
      return text;
    };
    region.text = functionText(false);
    region.key = hexDigest(region.text);
    if (anyInPlace) {
      region.inPlaceText = functionText(true);
      region.inPlaceKey = hexDigest(region.inPlaceText);
    } else {
      region.inputOfOutput.clear();
    }

    for (size_t m : g.members)
      region.ops += roleOf(ops_[m]) == Role::Compute;
    region.where = "fused region of " + std::to_string(region.ops) + " operations from " + steps_[g.members[0]].where;
    return region;
  }

  const std::vector<Step> &steps_;
  const std::vector<mlir::Operation *> &ops_;
  const std::vector<int32_t> &resultSlots_;
  const std::map<int32_t, int32_t> &updates_;
  const PlanState &state_;
  std::vector<int64_t> producer_;
  std::vector<std::vector<size_t>> readers_;
  std::vector<int64_t> groupOf_;
  std::vector<Group> groups_;
  std::vector<uint32_t> mark_, visited_;
  uint32_t stamp_ = 0;
};

// ------------------------------------------------------------------ running a region

// What the fused step needs at run time.
struct RegionRun {
  FusedKernelFn fn;
  FusedKernelFn inPlaceFn;             // outputs over their inputs (FusionRegion::inPlaceText), or null
  std::vector<int64_t> inputOfOutput;  // per output: the input it is written over in place, or -1
  std::vector<std::vector<bool>> used; // per input
  std::vector<at::ScalarType> outputTypes;
  std::vector<Shape> outputShapes;
  Shape iteration;
};

// A memref descriptor: allocated and aligned pointers, offset, sizes, strides.
struct Descriptor {
  llvm::SmallVector<int64_t, 11> words;
};

void describe(Descriptor &d, void *base, size_t elementSize, const Shape &iteration, const std::vector<bool> &used,
              int64_t begin, int64_t end) {
  Shape sizes;
  for (size_t k = 0; k < iteration.size(); ++k)
    if (used[k])
      sizes.push_back(k == 0 ? end - begin : iteration[k]);
  // Contiguous strides (the chunk's first size does not enter them).
  Shape strides(sizes.size(), 1);
  for (size_t k = sizes.size(); k-- > 1;)
    strides[k - 1] = strides[k] * sizes[k];
  int64_t skipped = used[0] ? begin * strides[0] : 0;
  char *start = static_cast<char *>(base) + skipped * static_cast<int64_t>(elementSize);
  d.words.clear();
  d.words.push_back(reinterpret_cast<int64_t>(start));
  d.words.push_back(reinterpret_cast<int64_t>(start));
  d.words.push_back(0);
  d.words.append(sizes.begin(), sizes.end());
  d.words.append(strides.begin(), strides.end());
}

Kernel regionKernel(const FusionRegion &region) {
  auto run = std::make_shared<RegionRun>();
  run->fn = region.fn;
  run->inPlaceFn = region.inPlaceFn;
  if (region.inPlaceFn)
    run->inputOfOutput = region.inputOfOutput;
  for (const FusionInput &in : region.inputs)
    run->used.push_back(in.used);
  run->outputTypes = region.outputTypes;
  run->outputShapes = region.outputShapes;
  run->iteration = region.iteration;
  return [run](KernelContext &c) {
    const size_t nin = c.numIn(), nout = run->outputTypes.size();
    // A flat region whose full-size operands share one dense layout other than the default one
    // (channels-last, as convolutions leave their results) runs over their memory in its order,
    // and its results take that layout: no operand is copied into the default one.
    const at::Tensor *reference = nullptr;
    if (run->iteration.size() == 1) {
      for (size_t i = 0; i < nin && !reference; ++i) {
        const at::Tensor &t = c.in(i);
        if (run->used[i][0] && !t.is_contiguous() && t.is_non_overlapping_and_dense())
          reference = &t;
      }
      for (size_t i = 0; i < nin && reference; ++i)
        if (run->used[i][0] &&
            (!c.in(i).sizes().equals(reference->sizes()) || !c.in(i).strides().equals(reference->strides())))
          reference = nullptr;
      for (size_t o = 0; o < nout && reference; ++o)
        if (!reference->sizes().equals(run->outputShapes[o]))
          reference = nullptr;
    }
    std::optional<at::IntArrayRef> layout;
    if (reference)
      layout = reference->strides();
    // In place: every output that may be written over its input, when that input dies here, is
    // held by nothing else and is laid out as the output.
    bool inPlace = run->inPlaceFn && !layout;
    for (size_t o = 0; o < nout && inPlace; ++o) {
      int64_t i = run->inputOfOutput[o];
      inPlace = i < 0 || (c.overwritable(static_cast<size_t>(i)) &&
                          c.in(static_cast<size_t>(i)).sizes().equals(run->outputShapes[o]) &&
                          c.in(static_cast<size_t>(i)).scalar_type() == run->outputTypes[o]);
    }
    std::vector<bool> replaced(nin, false);
    if (inPlace)
      for (int64_t i : run->inputOfOutput)
        if (i >= 0)
          replaced[static_cast<size_t>(i)] = true;
    llvm::SmallVector<at::Tensor, 8> ins;
    for (size_t i = 0; i < nin; ++i) {
      const at::Tensor &t = c.in(i);
      bool readable = (t.is_contiguous() || (layout && run->used[i][0])) && !t.is_neg() && !t.is_conj();
      ins.push_back(readable ? t : t.resolve_neg().contiguous());
    }
    llvm::SmallVector<at::Tensor, 4> outs;
    for (size_t o = 0; o < nout; ++o) {
      if (inPlace && run->inputOfOutput[o] >= 0) {
        outs.push_back(ins[static_cast<size_t>(run->inputOfOutput[o])]);
        continue;
      }
      at::Tensor *spare = o == 0 && nout == 1 && !layout && !inPlace ? c.spare() : nullptr;
      at::TensorOptions options = at::TensorOptions().dtype(run->outputTypes[o]);
      // Outputs never alias inputs: the kernel's arguments are declared not to.
      if (spare && std::none_of(ins.begin(), ins.end(), [&](const at::Tensor &t) { return t.is_alias_of(*spare); }))
        outs.push_back(*spare);
      else if (layout)
        outs.push_back(at::empty_strided(run->outputShapes[o], *layout, options));
      else
        outs.push_back(at::empty(run->outputShapes[o], options));
    }
    const Shape &iteration = run->iteration;
    int64_t inner = 1;
    for (size_t k = 1; k < iteration.size(); ++k)
      inner *= iteration[k];
    constexpr int64_t kGrain = 32768;
    int64_t grain = std::max<int64_t>(1, kGrain / std::max<int64_t>(inner, 1));
    std::vector<bool> full(iteration.size(), true);
    FusedKernelFn fn = inPlace ? run->inPlaceFn : run->fn;
    auto chunk = [&](int64_t begin, int64_t end) {
      llvm::SmallVector<Descriptor, 12> descriptors;
      descriptors.reserve(nin + nout);
      for (size_t i = 0; i < nin; ++i)
        if (!replaced[i])
          describe(descriptors.emplace_back(), ins[i].data_ptr(), ins[i].element_size(), iteration, run->used[i],
                   begin, end);
      for (size_t o = 0; o < nout; ++o)
        describe(descriptors.emplace_back(), outs[o].data_ptr(), outs[o].element_size(), iteration, full, begin,
                 end);
      llvm::SmallVector<void *, 12> args;
      for (Descriptor &d : descriptors)
        args.push_back(d.words.data());
      fn(args.data());
    };
    if (iteration[0] > 0)
      at::parallel_for(0, iteration[0], grain, chunk);
    for (size_t o = 0; o < nout; ++o)
      c.out(o, std::move(outs[o]));
  };
}

} // namespace

std::vector<FusionRegion> findRegions(const std::vector<Step> &steps, const std::vector<mlir::Operation *> &ops,
                                      const std::vector<int32_t> &resultSlots,
                                      const std::map<int32_t, int32_t> &updates, const PlanState &state,
                                      size_t slotCount) {
  return Grouper(steps, ops, resultSlots, updates, state, slotCount).run();
}

namespace {

// The step that runs a region's kernel.
Step regionStep(const FusionRegion &r) {
  Step step;
  step.kernel = regionKernel(r);
  for (const FusionInput &in : r.inputs)
    step.operands.push_back(in.slot);
  for (size_t o = 0; o < r.outputs.size(); ++o) {
    step.results.push_back(r.outputs[o]);
    step.expected.push_back(Expected{r.outputShapes[o], r.outputTypes[o]});
  }
  step.acceptsSpare = r.outputs.size() == 1;
  step.where = r.where;
  return step;
}

// The plan with the regions in `ready` as one node each (nodes: the steps outside the regions by
// their index, then region r as steps.size() + r), and the dependencies between the nodes: through
// slots, and the order among `ordered` steps.
struct NodeGraph {
  std::vector<size_t> nodes, key; // key: position in the unfused plan (a region's last member)
  std::vector<llvm::SmallVector<int32_t, 8>> reads; // distinct slots each node reads
  std::vector<std::vector<size_t>> dependents;
  std::vector<size_t> pending; // dependencies per node

  NodeGraph(const std::vector<Step> &steps, const std::vector<const FusionRegion *> &ready, size_t slotCount) {
    std::vector<bool> fused(steps.size(), false);
    for (const FusionRegion *r : ready)
      for (size_t m : r->members)
        fused[m] = true;
    for (size_t s = 0; s < steps.size(); ++s)
      if (!fused[s]) {
        nodes.push_back(s);
        key.push_back(s);
      }
    for (size_t r = 0; r < ready.size(); ++r) {
      nodes.push_back(steps.size() + r);
      key.push_back(ready[r]->members.back());
    }
    std::vector<int64_t> producer(slotCount, -1);
    reads.resize(nodes.size());
    for (size_t n = 0; n < nodes.size(); ++n) {
      auto read = [&](int32_t slot) {
        if (!llvm::is_contained(reads[n], slot))
          reads[n].push_back(slot);
      };
      if (nodes[n] < steps.size()) {
        const Step &step = steps[nodes[n]];
        for (int32_t slot : step.results)
          producer[slot] = static_cast<int64_t>(n);
        for (int32_t slot : step.operands)
          read(slot);
      } else {
        const FusionRegion &region = *ready[nodes[n] - steps.size()];
        for (int32_t slot : region.outputs)
          producer[slot] = static_cast<int64_t>(n);
        for (const FusionInput &in : region.inputs)
          read(in.slot);
      }
    }
    dependents.resize(nodes.size());
    pending.assign(nodes.size(), 0);
    for (size_t n = 0; n < nodes.size(); ++n) {
      llvm::SmallVector<size_t, 8> seen;
      for (int32_t slot : reads[n]) {
        int64_t p = producer[slot];
        if (p >= 0 && static_cast<size_t>(p) != n && !llvm::is_contained(seen, static_cast<size_t>(p))) {
          seen.push_back(static_cast<size_t>(p));
          edge(static_cast<size_t>(p), n);
        }
      }
    }
    std::vector<size_t> orderedNodes;
    for (size_t n = 0; n < nodes.size(); ++n)
      if (nodes[n] < steps.size() && steps[nodes[n]].ordered)
        orderedNodes.push_back(n);
    std::sort(orderedNodes.begin(), orderedNodes.end(), [&](size_t a, size_t b) { return key[a] < key[b]; });
    for (size_t i = 1; i < orderedNodes.size(); ++i)
      edge(orderedNodes[i - 1], orderedNodes[i]);
  }

  void edge(size_t from, size_t to) {
    dependents[from].push_back(to);
    ++pending[to];
  }

  // Per node: whether it lies on a cycle or between two cycles (reached from one and reaching
  // one). A node outside this set is on no cycle.
  std::vector<bool> onCycles() const {
    std::vector<std::vector<size_t>> dependencies(nodes.size());
    for (size_t n = 0; n < nodes.size(); ++n)
      for (size_t d : dependents[n])
        dependencies[d].push_back(n);
    // The nodes Kahn's algorithm cannot take along `out`: on a cycle, or after one.
    auto unsorted = [&](const std::vector<std::vector<size_t>> &out) {
      std::vector<size_t> in(nodes.size(), 0);
      for (const auto &targets : out)
        for (size_t t : targets)
          ++in[t];
      std::vector<size_t> free;
      for (size_t n = 0; n < nodes.size(); ++n)
        if (in[n] == 0)
          free.push_back(n);
      std::vector<bool> left(nodes.size(), true);
      while (!free.empty()) {
        size_t n = free.back();
        free.pop_back();
        left[n] = false;
        for (size_t t : out[n])
          if (--in[t] == 0)
            free.push_back(t);
      }
      return left;
    };
    std::vector<bool> after = unsorted(dependents), before = unsorted(dependencies);
    for (size_t n = 0; n < nodes.size(); ++n)
      after[n] = after[n] && before[n];
    return after;
  }
};

// An order of the plan with the regions in `ready` as one node each (see NodeGraph) that respects
// every dependency; empty when the regions depend on each other in a cycle.
//
// Among the nodes whose operands are ready, an update that frees memory goes first (a region that
// takes the last use of a gradient and writes the weight and its state in place runs as soon as
// the gradient exists, instead of where the optimizer's code stood), then the one that came
// earliest in the unfused plan. `resultSlots` (the program's results) are never freed.
std::vector<size_t> orderOf(const std::vector<Step> &steps, const std::vector<const FusionRegion *> &ready,
                            const std::vector<int32_t> &resultSlots, size_t slotCount) {
  NodeGraph graph(steps, ready, slotCount);
  const std::vector<size_t> &nodes = graph.nodes, &key = graph.key;

  // What each slot holds, and how many nodes still read it.
  std::vector<int64_t> bytes(slotCount, 0);
  std::vector<bool> freeable(slotCount, false); // made by a step and not a result of the program
  for (const Step &step : steps)
    for (size_t i = 0; i < step.results.size(); ++i) {
      int64_t count = static_cast<int64_t>(c10::elementSize(step.expected[i].dtype));
      for (int64_t d : step.expected[i].shape)
        count *= d;
      bytes[step.results[i]] = count;
      freeable[step.results[i]] = true;
    }
  for (int32_t slot : resultSlots)
    freeable[slot] = false;
  std::vector<int32_t> readers(slotCount, 0);
  for (const auto &slots : graph.reads)
    for (int32_t slot : slots)
      ++readers[slot];

  // Whether node n goes ahead of the unfused plan's order when its operands are ready: a region
  // that writes an update over its input and frees more than it allocates (an optimizer's update
  // taking the last use of its gradient), or a node that allocates at most a few KiB and reads no
  // larger value the run computed (the scalars such an update reads: step sizes, bias
  // corrections; in-place updates of optimizer state that need no gradient). Other steps keep
  // their place: moving them after the values they read went cold in the cache costs time.
  constexpr int64_t kSmallValue = 4096;
  auto goesFirst = [&](size_t n) {
    int64_t freed = 0, made = 0, largest = 0;
    bool updates = false;
    for (int32_t slot : graph.reads[n]) {
      largest = std::max(largest, bytes[slot]);
      if (readers[slot] == 1 && freeable[slot])
        freed += bytes[slot];
    }
    if (nodes[n] < steps.size()) {
      for (int32_t slot : steps[nodes[n]].results)
        made += bytes[slot];
    } else {
      const FusionRegion &r = *ready[nodes[n] - steps.size()];
      for (size_t o = 0; o < r.outputs.size(); ++o) {
        int64_t i = o < r.inputOfOutput.size() && r.inPlaceFn ? r.inputOfOutput[o] : -1;
        if (i >= 0 && readers[r.inputs[static_cast<size_t>(i)].slot] == 1) {
          updates = true; // written over its input: nothing allocated
          continue;
        }
        made += bytes[r.outputs[o]];
      }
    }
    return (updates && freed > made) || (made <= kSmallValue && largest <= kSmallValue);
  };

  // Kahn's algorithm: a node that goes first (see above), else the earliest in the unfused plan.
  std::vector<size_t> pending = graph.pending;
  std::vector<size_t> readyNodes;
  for (size_t n = 0; n < nodes.size(); ++n)
    if (pending[n] == 0)
      readyNodes.push_back(n);
  std::vector<size_t> order;
  order.reserve(nodes.size());
  while (!readyNodes.empty()) {
    size_t pick = 0;
    bool pickGoesFirst = false;
    for (size_t k = 0; k < readyNodes.size(); ++k) {
      size_t n = readyNodes[k];
      bool first = goesFirst(n);
      if ((first && !pickGoesFirst) || (first == pickGoesFirst && key[n] < key[readyNodes[pick]])) {
        pick = k;
        pickGoesFirst = first;
      }
    }
    size_t n = readyNodes[pick];
    readyNodes[pick] = readyNodes.back();
    readyNodes.pop_back();
    for (int32_t slot : graph.reads[n])
      --readers[slot];
    for (size_t d : graph.dependents[n])
      if (--pending[d] == 0)
        readyNodes.push_back(d);
    order.push_back(nodes[n]);
  }
  if (order.size() != nodes.size())
    return {};
  return order;
}

// The plan in `order` (see orderOf).
std::vector<Step> stepsIn(const std::vector<size_t> &order, const std::vector<Step> &steps,
                          const std::vector<const FusionRegion *> &ready) {
  std::vector<Step> plan;
  plan.reserve(order.size());
  for (size_t n : order)
    plan.push_back(n < steps.size() ? steps[n] : regionStep(*ready[n - steps.size()]));
  return plan;
}

} // namespace

namespace {

// The regions of `chosen` whose required regions (FusionRegion::requires) are all chosen too.
std::vector<const FusionRegion *> withRequirements(const std::vector<FusionRegion> &regions,
                                                   std::vector<bool> chosen) {
  for (bool changed = true; changed;) {
    changed = false;
    for (size_t r = 0; r < regions.size(); ++r)
      if (chosen[r])
        for (size_t q : regions[r].requires)
          if (!chosen[q]) {
            chosen[r] = false;
            changed = true;
            break;
          }
  }
  std::vector<const FusionRegion *> out;
  for (size_t r = 0; r < regions.size(); ++r)
    if (chosen[r])
      out.push_back(&regions[r]);
  return out;
}

} // namespace

std::vector<Step> fuseSteps(const std::vector<Step> &steps, const std::vector<FusionRegion> &regions,
                            const std::vector<int32_t> &resultSlots, size_t slotCount, size_t &leftOut) {
  leftOut = 0;
  std::vector<bool> compiled(regions.size());
  for (size_t r = 0; r < regions.size(); ++r)
    compiled[r] = regions[r].fn != nullptr;
  std::vector<const FusionRegion *> ready = withRequirements(regions, compiled);
  std::vector<size_t> order = orderOf(steps, ready, resultSlots, slotCount);
  if (!order.empty() || ready.empty())
    return stepsIn(order, steps, ready);
  // Each region is convex, but two of them can still depend on each other (a member of each feeds
  // a member of the other): such a region stays unfused. Only regions on a cycle of the plan with
  // every region fused can be the cause (fusing fewer regions makes no new cycle). These are taken
  // in plan order, each kept when the plan with it, the ones kept before it and all the others
  // still has an order; then the regions whose required regions were left out are left out too
  // (leaving a region out keeps an order).
  std::vector<bool> cyclic = NodeGraph(steps, ready, slotCount).onCycles();
  const size_t outside = cyclic.size() - ready.size(); // nodes of the steps outside the regions
  std::vector<const FusionRegion *> kept, doubtful;
  for (size_t r = 0; r < ready.size(); ++r)
    (cyclic[outside + r] ? doubtful : kept).push_back(ready[r]);
  for (const FusionRegion *r : doubtful) {
    kept.push_back(r);
    if (orderOf(steps, kept, resultSlots, slotCount).empty())
      kept.pop_back();
  }
  std::vector<bool> chosen(regions.size(), false);
  for (const FusionRegion *r : kept)
    chosen[static_cast<size_t>(r - regions.data())] = true;
  kept = withRequirements(regions, chosen);
  leftOut = ready.size() - kept.size();
  return stepsIn(orderOf(steps, kept, resultSlots, slotCount), steps, kept);
}

} // namespace lumo

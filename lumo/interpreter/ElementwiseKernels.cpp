// Elementwise operations, conversions and pass-through markers.
//
// The kernels call ATen's CPU kernels directly (at::cpu::) where ATen has one: the same kernels
// eager PyTorch reaches, without a trip through the dispatcher for every small operation.
#include "Kernel.h"

#include <ATen/CPUFunctions.h>

namespace lumo {
namespace {

bool isFloat(at::ScalarType t) { return at::isFloatingType(t); }

// An elementwise kernel: ATen broadcasts the operands against each other; a result still smaller
// than the declared shape (all operands smaller) is broadcast to it.
template <typename F> Kernel elementwise(const OpView &op, F f) {
  Shape shape = op.resultShape();
  return [f = std::move(f), shape = std::move(shape)](KernelContext &ctx) {
    at::Tensor r = f(ctx);
    if (!r.sizes().equals(shape))
      r = r.expand(shape);
    ctx.out(std::move(r));
  };
}

// Also writes into a spare result buffer (`write(out, ctx)`) when the operands broadcast to the
// result's shape.
template <typename F, typename W> Kernel elementwise(OpView &op, F f, W write) {
  Shape shape = op.resultShape(), broadcast;
  for (size_t i = 0; i < op.numOperands(); ++i)
    broadcast = at::infer_size(broadcast, op.operandShape(i));
  if (broadcast != shape)
    return elementwise(op, std::move(f));
  op.acceptSpare();
  return [f = std::move(f), write = std::move(write)](KernelContext &ctx) {
    if (at::Tensor *out = ctx.spare()) {
      write(*out, ctx);
      ctx.out(*out);
    } else {
      ctx.out(f(ctx));
    }
  };
}

std::string approximation(const OpView &op) {
  std::string a = op.strAttr("approximation", "none");
  if (a != "none" && a != "tanh")
    op.fail("approximation must be \"none\" or \"tanh\", not \"" + a + "\"");
  return a;
}

} // namespace

// Elementwise operations on ATen CPU kernels with an out= form: fn(x...) and fn_out(out, x...).
#define LUMO_UNARY(Name, fn)                                                                                  \
  Kernel plan##Name(OpView &op) {                                                                             \
    return elementwise(                                                                                       \
        op, [](KernelContext &c) { return at::cpu::fn(c.in(0)); },                                            \
        [](at::Tensor &out, KernelContext &c) { at::cpu::fn##_out(out, c.in(0)); });                          \
  }
#define LUMO_BINARY(Name, fn)                                                                                 \
  Kernel plan##Name(OpView &op) {                                                                             \
    return elementwise(                                                                                       \
        op, [](KernelContext &c) { return at::cpu::fn(c.in(0), c.in(1)); },                                   \
        [](at::Tensor &out, KernelContext &c) { at::cpu::fn##_out(out, c.in(0), c.in(1)); });                 \
  }

LUMO_UNARY(Ceil, ceil)
LUMO_UNARY(Floor, floor)
LUMO_UNARY(Cos, cos)
LUMO_UNARY(Sin, sin)
LUMO_UNARY(Erf, erf)
LUMO_UNARY(Exp, exp)
LUMO_UNARY(Log, log)
LUMO_UNARY(Sqrt, sqrt)
LUMO_UNARY(Tanh, tanh)
LUMO_UNARY(Sigmoid, sigmoid)
LUMO_UNARY(Sign, sign)
LUMO_UNARY(Reciprocal, reciprocal)
LUMO_UNARY(HardSigmoid, hardsigmoid)
LUMO_BINARY(Add, add)
LUMO_BINARY(Sub, sub)
LUMO_BINARY(Mul, mul)
LUMO_BINARY(Pow, pow)
LUMO_BINARY(HardSigmoidGrad, hardsigmoid_backward)

Kernel planAbs(OpView &op) {
  return elementwise(
      op, [](KernelContext &c) { return at::abs(c.in(0)); },
      [](at::Tensor &out, KernelContext &c) { at::cpu::abs_out(out, c.in(0)); });
}

Kernel planRelu(OpView &op) {
  auto relu = [](KernelContext &c) { return at::cpu::relu(c.in(0)); };
  if (op.resultType() == at::kBool) // rejected by ATen's relu
    return elementwise(op, relu);
  // ATen's relu is clamp_min(x, 0).
  return elementwise(op, relu, [](at::Tensor &out, KernelContext &c) { at::cpu::clamp_min_out(out, c.in(0), 0); });
}

Kernel planReluGrad(OpView &op) {
  return elementwise(
      op, [](KernelContext &c) { return at::cpu::threshold_backward(c.in(0), c.in(1), 0); },
      [](at::Tensor &out, KernelContext &c) { at::cpu::threshold_backward_out(out, c.in(0), c.in(1), 0); });
}

// SigmoidGrad(y, dy): the forward result first.
Kernel planSigmoidGrad(OpView &op) {
  return elementwise(
      op, [](KernelContext &c) { return at::cpu::sigmoid_backward(c.in(1), c.in(0)); },
      [](at::Tensor &out, KernelContext &c) { at::cpu::sigmoid_backward_out(out, c.in(1), c.in(0)); });
}

Kernel planDiv(OpView &op) {
  if (isFloat(op.resultType()))
    return elementwise(
        op, [](KernelContext &c) { return at::cpu::div(c.in(0), c.in(1)); },
        [](at::Tensor &out, KernelContext &c) { at::cpu::div_out(out, c.in(0), c.in(1)); });
  return elementwise(op, [](KernelContext &c) { return at::cpu::div(c.in(0), c.in(1), "trunc"); });
}

Kernel planAnd(OpView &op) {
  if (op.resultType() == at::kBool)
    return elementwise(op, [](KernelContext &c) { return at::logical_and(c.in(0), c.in(1)); });
  return elementwise(op, [](KernelContext &c) { return at::cpu::bitwise_and(c.in(0), c.in(1)); });
}

Kernel planOr(OpView &op) {
  if (op.resultType() == at::kBool)
    return elementwise(op, [](KernelContext &c) { return at::logical_or(c.in(0), c.in(1)); });
  return elementwise(op, [](KernelContext &c) { return at::cpu::bitwise_or(c.in(0), c.in(1)); });
}

Kernel planClamp(OpView &op) {
  return elementwise(op, [](KernelContext &c) { return at::cpu::clamp(c.in(0), c.in(1), c.in(2)); });
}

Kernel planSelect(OpView &op) {
  return elementwise(op, [](KernelContext &c) { return at::cpu::where(c.in(0), c.in(1), c.in(2)); });
}

Kernel planCompare(OpView &op) {
  using Fn = at::Tensor (*)(const at::Tensor &, const at::Tensor &);
  static const std::pair<const char *, Fn> directions[] = {
      {"EQ", [](const at::Tensor &x, const at::Tensor &y) { return at::cpu::eq(x, y); }},
      {"NE", [](const at::Tensor &x, const at::Tensor &y) { return at::cpu::ne(x, y); }},
      {"LT", [](const at::Tensor &x, const at::Tensor &y) { return at::cpu::lt(x, y); }},
      {"LE", [](const at::Tensor &x, const at::Tensor &y) { return at::cpu::le(x, y); }},
      {"GT", [](const at::Tensor &x, const at::Tensor &y) { return at::cpu::gt(x, y); }},
      {"GE", [](const at::Tensor &x, const at::Tensor &y) { return at::cpu::ge(x, y); }},
  };
  std::string direction = op.strAttr("comparison_direction", "");
  for (auto [name, fn] : directions)
    if (direction == name)
      return elementwise(op, [fn = fn](KernelContext &c) { return fn(c.in(0), c.in(1)); });
  op.fail("unknown comparison_direction \"" + direction + "\"");
}

Kernel planElu(OpView &op) {
  double alpha = op.floatAttr("alpha", 1.0);
  return elementwise(op, [alpha](KernelContext &c) { return at::cpu::elu(c.in(0), alpha); });
}

Kernel planEluGrad(OpView &op) {
  double alpha = op.floatAttr("alpha", 1.0);
  return elementwise(
      op, [alpha](KernelContext &c) { return at::cpu::elu_backward(c.in(0), alpha, 1, 1, false, c.in(1)); });
}

Kernel planLeakyRelu(OpView &op) {
  double alpha = op.floatAttr("alpha", 0.01);
  return elementwise(op, [alpha](KernelContext &c) { return at::cpu::leaky_relu(c.in(0), alpha); });
}

Kernel planLeakyReluGrad(OpView &op) {
  double alpha = op.floatAttr("alpha", 0.01);
  return elementwise(
      op, [alpha](KernelContext &c) { return at::cpu::leaky_relu_backward(c.in(0), c.in(1), alpha, false); });
}

Kernel planGelu(OpView &op) {
  std::string a = approximation(op);
  return elementwise(op, [a](KernelContext &c) { return at::cpu::gelu(c.in(0), a); });
}

Kernel planGeluGrad(OpView &op) {
  std::string a = approximation(op);
  return elementwise(op, [a](KernelContext &c) { return at::cpu::gelu_backward(c.in(0), c.in(1), a); });
}

Kernel planSoftplus(OpView &op) {
  double beta = op.floatAttr("beta", 1.0), threshold = op.floatAttr("threshold", 20.0);
  return elementwise(op, [beta, threshold](KernelContext &c) { return at::cpu::softplus(c.in(0), beta, threshold); });
}

Kernel planUnary(OpView &op) {
  using Fn = at::Tensor (*)(const at::Tensor &);
  static const std::pair<const char *, Fn> kinds[] = {
      {"neg", [](const at::Tensor &x) { return at::cpu::neg(x); }},
      {"not", [](const at::Tensor &x) { return x.scalar_type() == at::kBool ? at::logical_not(x) : at::cpu::bitwise_not(x); }},
      {"rsqrt", [](const at::Tensor &x) { return at::cpu::rsqrt(x); }},
      {"log1p", [](const at::Tensor &x) { return at::cpu::log1p(x); }},
      {"expm1", [](const at::Tensor &x) { return at::cpu::expm1(x); }},
      {"log2", [](const at::Tensor &x) { return at::cpu::log2(x); }},
      {"log10", [](const at::Tensor &x) { return at::cpu::log10(x); }},
      {"exp2", [](const at::Tensor &x) { return at::cpu::exp2(x); }},
      {"tan", [](const at::Tensor &x) { return at::cpu::tan(x); }},
      {"atan", [](const at::Tensor &x) { return at::cpu::atan(x); }},
      {"asin", [](const at::Tensor &x) { return at::cpu::asin(x); }},
      {"acos", [](const at::Tensor &x) { return at::cpu::acos(x); }},
      {"sinh", [](const at::Tensor &x) { return at::cpu::sinh(x); }},
      {"cosh", [](const at::Tensor &x) { return at::cpu::cosh(x); }},
      {"asinh", [](const at::Tensor &x) { return at::cpu::asinh(x); }},
      {"acosh", [](const at::Tensor &x) { return at::cpu::acosh(x); }},
      {"atanh", [](const at::Tensor &x) { return at::cpu::atanh(x); }},
      {"round", [](const at::Tensor &x) { return at::cpu::round(x); }},
      {"trunc", [](const at::Tensor &x) { return at::cpu::trunc(x); }},
      {"silu", [](const at::Tensor &x) { return at::cpu::silu(x); }},
      {"isnan", [](const at::Tensor &x) { return at::cpu::isnan(x); }},
      {"isinf", [](const at::Tensor &x) { return at::isinf(x); }},
      {"isneginf", [](const at::Tensor &x) { return at::cpu::isneginf(x); }},
      {"isposinf", [](const at::Tensor &x) { return at::cpu::isposinf(x); }},
      {"isfinite", [](const at::Tensor &x) { return at::isfinite(x); }},
  };
  std::string kind = op.strAttr("kind", "");
  for (auto [name, fn] : kinds)
    if (kind == name)
      return elementwise(op, [fn = fn](KernelContext &c) { return fn(c.in(0)); });
  op.fail("unknown kind \"" + kind + "\"");
}

Kernel planBinary(OpView &op) {
  using Fn = at::Tensor (*)(const at::Tensor &, const at::Tensor &);
  static const std::pair<const char *, Fn> kinds[] = {
      {"maximum", [](const at::Tensor &x, const at::Tensor &y) { return at::cpu::maximum(x, y); }},
      {"minimum", [](const at::Tensor &x, const at::Tensor &y) { return at::cpu::minimum(x, y); }},
      {"remainder", [](const at::Tensor &x, const at::Tensor &y) { return at::cpu::remainder(x, y); }},
      {"fmod", [](const at::Tensor &x, const at::Tensor &y) { return at::cpu::fmod(x, y); }},
      {"floor_divide", [](const at::Tensor &x, const at::Tensor &y) { return at::cpu::floor_divide(x, y); }},
      {"atan2", [](const at::Tensor &x, const at::Tensor &y) { return at::cpu::atan2(x, y); }},
      {"xor", [](const at::Tensor &x, const at::Tensor &y) {
         return x.scalar_type() == at::kBool ? at::logical_xor(x, y) : at::cpu::bitwise_xor(x, y);
       }},
  };
  std::string kind = op.strAttr("kind", "");
  for (auto [name, fn] : kinds)
    if (kind == name)
      return elementwise(op, [fn = fn](KernelContext &c) { return fn(c.in(0), c.in(1)); });
  op.fail("unknown kind \"" + kind + "\"");
}

// ------------------------------------------------------------------ conversions

Kernel planCast(OpView &op) {
  at::ScalarType to = op.resultType();
  return single([to](KernelContext &c) { return c.in(0).to(to); });
}

Kernel planExtSI(OpView &op) {
  at::ScalarType from = op.operandType(0), to = op.resultType();
  if (from == at::kBool) // true is all ones: -1
    return single([to](KernelContext &c) { return at::cpu::neg(c.in(0).to(to)); });
  if (from == at::kByte) // the bits of a ui8 read as signed
    return single([to](KernelContext &c) { return c.in(0).view(at::kChar).to(to); });
  return single([to](KernelContext &c) { return c.in(0).to(to); });
}

Kernel planExtUI(OpView &op) {
  at::ScalarType from = op.operandType(0), to = op.resultType();
  if (from == at::kBool || from == at::kByte)
    return single([to](KernelContext &c) { return c.in(0).to(to); });
  int64_t bits = 8 * at::elementSize(from);
  if (bits >= 64)
    op.fail("cannot zero-extend a 64-bit integer");
  int64_t mask = (int64_t(1) << bits) - 1;
  return single([to, mask](KernelContext &c) { return at::bitwise_and(c.in(0).to(to), mask); });
}

// ------------------------------------------------------------------ values and markers

Kernel planConst(OpView &op) {
  auto value = op.elementsAttr("value");
  if (!value)
    op.fail("has no value");
  return single([value = *value](KernelContext &) { return value; });
}

static Kernel identity() {
  return [](KernelContext &c) { c.out(c.in(0)); };
}
Kernel planScopeBoundary(OpView &) { return identity(); }
Kernel planTagGradient(OpView &) { return identity(); }

} // namespace lumo

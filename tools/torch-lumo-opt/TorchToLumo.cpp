// Types, operand readers and the lumo emitter shared by the conversion patterns.
#include "TorchToLumo.h"

#include "lumo/LumoOps.h"
#include "mlir/IR/PatternMatch.h"
#include "mlir/Transforms/DialectConversion.h"
#include "llvm/ADT/APFloat.h"
#include "llvm/ADT/STLExtras.h"

#include <algorithm>
#include <cmath>

namespace torch_lumo {

void unsupported(const llvm::Twine &reason) { throw Unsupported{reason.str()}; }

// ------------------------------------------------------------------ types and shapes

RankedTensorType tensorOf(ArrayRef<int64_t> shape, Type elem) {
  return RankedTensorType::get(shape, elem);
}

bool isFloatType(Type t) { return t.isa<FloatType>(); }
bool isComplexType(Type t) { return t.isa<ComplexType>(); }
bool isBoolType(Type t) { return t.isInteger(1); }
bool isIntegerType(Type t) { return t.isa<IntegerType>() && !t.isInteger(1); }
bool isReducedFloat(Type t) { return t.isBF16() || t.isF16(); }

bool roundsAwayFromOpmath(double v, Type elem) {
  auto rounded = [v](const llvm::fltSemantics &to) {
    llvm::APFloat f(v);
    bool lost = false;
    f.convert(to, llvm::APFloat::rmNearestTiesToEven, &lost);
    return f;
  };
  auto narrow = rounded(elem.cast<FloatType>().getFloatSemantics());
  auto wide = rounded(llvm::APFloat::IEEEsingle());
  bool lost = false;
  narrow.convert(llvm::APFloat::IEEEsingle(), llvm::APFloat::rmNearestTiesToEven, &lost);
  return !narrow.bitwiseIsEqual(wide);
}
Type si64Type(MLIRContext *ctx) { return IntegerType::get(ctx, 64, IntegerType::Signed); }

int64_t numElements(ArrayRef<int64_t> shape) {
  int64_t n = 1;
  for (int64_t d : shape) n *= d;
  return n;
}

Shape broadcastShapes(ArrayRef<int64_t> a, ArrayRef<int64_t> b) {
  size_t rank = std::max(a.size(), b.size());
  Shape out(rank, 1);
  for (size_t i = 0; i < rank; ++i) {
    int64_t x = i < rank - a.size() ? 1 : a[i - (rank - a.size())];
    int64_t y = i < rank - b.size() ? 1 : b[i - (rank - b.size())];
    if (x != y && x != 1 && y != 1)
      unsupported("shapes do not broadcast (" + llvm::Twine(x) + " against " + llvm::Twine(y) +
                  ")");
    out[i] = x == 1 ? y : x;
  }
  return out;
}

int64_t normDim(int64_t dim, int64_t rank) {
  if (dim < -rank || dim >= rank)
    unsupported("dimension " + llvm::Twine(dim) + " is out of range for rank " +
                llvm::Twine(rank));
  return dim < 0 ? dim + rank : dim;
}

Shape normDims(ArrayRef<int64_t> dims, int64_t rank) {
  Shape out;
  for (int64_t d : dims) out.push_back(normDim(d, rank));
  return out;
}

Shape dimRange(int64_t from, int64_t to) {
  Shape dims;
  for (int64_t i = from; i < to; ++i) dims.push_back(i);
  return dims;
}

Shape reducedShape(ArrayRef<int64_t> shape, ArrayRef<int64_t> dims, bool keepDims) {
  Shape out;
  for (int64_t i = 0; i < static_cast<int64_t>(shape.size()); ++i) {
    bool reduced = llvm::is_contained(dims, i);
    if (!reduced) out.push_back(shape[i]);
    else if (keepDims) out.push_back(1);
  }
  return out;
}

Shape moveDim(int64_t rank, int64_t dim, int64_t to) {
  Shape perm;
  for (int64_t i = 0; i < rank; ++i)
    if (i != dim) perm.push_back(i);
  perm.insert(perm.begin() + to, dim);
  return perm;
}

Shape inversePermutation(ArrayRef<int64_t> perm) {
  Shape inv(perm.size());
  for (size_t i = 0; i < perm.size(); ++i) inv[perm[i]] = i;
  return inv;
}

Type dtypeFromCode(MLIRContext *ctx, int64_t code) {
  auto si = [&](unsigned w) { return IntegerType::get(ctx, w, IntegerType::Signed); };
  switch (code) {
    case 0: return IntegerType::get(ctx, 8, IntegerType::Unsigned);
    case 1: return si(8);
    case 2: return si(16);
    case 3: return si(32);
    case 4: return si(64);
    case 5: return Float16Type::get(ctx);
    case 6: return Float32Type::get(ctx);
    case 7: return Float64Type::get(ctx);
    case 11: return IntegerType::get(ctx, 1);
    case 9: return ComplexType::get(Float32Type::get(ctx));
    case 10: return ComplexType::get(Float64Type::get(ctx));
    case 15: return BFloat16Type::get(ctx);
  }
  if (code == 8) unsupported("lumo has no complex<f16> element type (dtype code 8)");
  unsupported("dtype code " + llvm::Twine(code) + " has no lumo element type");
}

static int category(Type t) {
  return isBoolType(t) ? 0 : isComplexType(t) ? 3 : isFloatType(t) ? 2 : 1;
}

static Type wider(Type a, Type b) {
  if (!a) return b;
  if (a == b) return a;
  if (isComplexType(a) || isComplexType(b)) {  // complex<f32> and f64 meet in complex<f64>
    auto part = [](Type t) { return isComplexType(t) ? t.cast<ComplexType>().getElementType() : t; };
    bool wide = part(a).isF64() || part(b).isF64();
    return ComplexType::get(wide ? Type(Float64Type::get(a.getContext())) : Type(Float32Type::get(a.getContext())));
  }
  unsigned wa = a.getIntOrFloatBitWidth(), wb = b.getIntOrFloatBitWidth();
  // f16 and bf16 meet in f32; ui8 and si8 in si16.
  if (wa == wb) {
    if (isFloatType(a)) return Float32Type::get(a.getContext());
    return IntegerType::get(a.getContext(), wa * 2, IntegerType::Signed);
  }
  return wa > wb ? a : b;
}

Type promoteTypes(MLIRContext *ctx, ArrayRef<PromotionInput> inputs) {
  int top = 0;
  for (const PromotionInput &in : inputs) top = std::max(top, category(in.elem));
  Type dimensioned, zeroDim;
  for (const PromotionInput &in : inputs) {
    if (in.number || category(in.elem) != top) continue;
    (in.dimensioned ? dimensioned : zeroDim) = wider(in.dimensioned ? dimensioned : zeroDim,
                                                    in.elem);
  }
  if (top != 3 && dimensioned) return dimensioned;
  if (top != 3 && zeroDim) return zeroDim;
  if (top == 3) {
    // Complex values take the width of the floating-point operands of their rank or above.
    Type widest = dimensioned ? dimensioned : zeroDim;
    for (const PromotionInput &in : inputs)
      if (!in.number && category(in.elem) == 2 && (in.dimensioned || !dimensioned))
        widest = wider(widest, in.elem);
    if (widest && isComplexType(widest)) return widest;
    return ComplexType::get(widest && widest.isF64() ? widest : Float32Type::get(ctx));
  }
  if (top == 2) return Float32Type::get(ctx);
  if (top == 1) return si64Type(ctx);
  return IntegerType::get(ctx, 1);
}

// ------------------------------------------------------------------ constants

/// `values` as the elements of `type` (one value: in every element).
static DenseElementsAttr attrFromDoubles(RankedTensorType type, ArrayRef<double> values) {
  Type elem = type.getElementType();
  if (auto ft = elem.dyn_cast<FloatType>()) {
    llvm::SmallVector<APFloat> fs;
    for (double v : values) {
      APFloat f(v);
      bool lost = false;
      f.convert(ft.getFloatSemantics(), APFloat::rmNearestTiesToEven, &lost);
      fs.push_back(f);
    }
    return DenseElementsAttr::get(type, fs);
  }
  if (isBoolType(elem)) {
    llvm::SmallVector<bool> bs;
    for (double v : values) bs.push_back(v != 0);
    return DenseElementsAttr::get(type, bs);
  }
  if (auto it = elem.dyn_cast<IntegerType>()) {
    llvm::SmallVector<APInt> is;
    for (double v : values) {
      if (std::isnan(v)) unsupported("NaN cannot be an integer constant");
      if (it.isUnsigned() && v >= 0) is.push_back(APInt(it.getWidth(), static_cast<uint64_t>(v)));
      else is.push_back(APInt(it.getWidth(), static_cast<uint64_t>(static_cast<int64_t>(v)), true));
    }
    return DenseElementsAttr::get(type, is);
  }
  if (auto ct = elem.dyn_cast<ComplexType>()) {
    const auto &semantics = ct.getElementType().cast<FloatType>().getFloatSemantics();
    llvm::SmallVector<std::complex<APFloat>> cs;
    for (double v : values) {
      APFloat re(v), im(0.0);
      bool lost = false;
      re.convert(semantics, APFloat::rmNearestTiesToEven, &lost);
      im.convert(semantics, APFloat::rmNearestTiesToEven, &lost);
      cs.emplace_back(re, im);
    }
    return DenseElementsAttr::get(type, cs);
  }
  unsupported("a constant of this element type is not supported");
}

static double elementAsDouble(const APFloat &f) {
  APFloat d = f;
  bool lost = false;
  d.convert(APFloat::IEEEdouble(), APFloat::rmNearestTiesToEven, &lost);
  return d.convertToDouble();
}

static double intAsDouble(Type elem, const APInt &v) {
  if (isBoolType(elem)) return v.getBoolValue() ? 1.0 : 0.0;
  if (elem.isUnsignedInteger()) return static_cast<double>(v.getZExtValue());
  return static_cast<double>(v.getSExtValue());
}

Value Emitter::constant(DenseElementsAttr value) {
  return op("lumo.Const", {}, value.getType(), {attr("value", value)});
}

Value Emitter::constant(RankedTensorType type, ArrayRef<double> values) {
  return constant(attrFromDoubles(type, values));
}

Value Emitter::splat(RankedTensorType type, double v) { return constant(type, {v}); }

Value Emitter::indexVector(ArrayRef<int64_t> values) {
  auto type = tensorOf({static_cast<int64_t>(values.size())},
                       si64Type(ctx()));
  llvm::SmallVector<APInt> is;
  for (int64_t v : values) is.push_back(APInt(64, static_cast<uint64_t>(v), true));
  return constant(DenseElementsAttr::get(type, is));
}

Value Emitter::indexScalar(int64_t v) {
  auto type = tensorOf({}, si64Type(ctx()));
  return constant(DenseElementsAttr::get(type, ArrayRef<APInt>{APInt(64, v, true)}));
}

Value Emitter::positions(ArrayRef<int64_t> shape, int64_t dim, int64_t start, int64_t step) {
  auto type = tensorOf(shape, si64Type(ctx()));
  return op("lumo.Arange",
            {indexScalar(start), indexScalar(start + shape[dim] * step), indexScalar(step)}, type,
            {i64("dim", dim)});
}

DenseElementsAttr Emitter::constValue(Value v) {
  auto def = v.getDefiningOp<lumo::ConstOp>();
  return def ? def->getAttrOfType<DenseElementsAttr>("value") : nullptr;
}

std::optional<double> Emitter::splatValue(Value v) {
  DenseElementsAttr attr = constValue(v);
  if (!attr || !attr.isSplat()) return std::nullopt;
  Type elem = attr.getElementType();
  if (elem.isa<FloatType>()) return elementAsDouble(attr.getSplatValue<APFloat>());
  if (isBoolType(elem)) return attr.getSplatValue<bool>() ? 1.0 : 0.0;
  if (elem.isa<IntegerType>()) return intAsDouble(elem, attr.getSplatValue<APInt>());
  return std::nullopt;
}

// ------------------------------------------------------------------ the emitter
//
// The emitter builds operations and leaves simplification to the operations' folds (lumo/lib/
// LumoFolds.cpp): `op` folds each operation it builds, so constants stay visible to the patterns
// (constValue, splatValue) as lumo.Const. Rewrites that need new operations (canonicalisation
// patterns) run in the pipeline's -canonicalize.

Operation *Emitter::create(StringRef name, ValueRange operands, TypeRange results,
                           ArrayRef<NamedAttribute> attrs) {
  return b.create(stateOf(name, operands, results, attrs));
}

OperationState Emitter::stateOf(StringRef name, ValueRange operands, TypeRange results,
                                ArrayRef<NamedAttribute> attrs) {
  OperationState state(loc, name);
  state.addOperands(operands);
  state.addTypes(results);
  // Attributes given as a library call gives them (enumerations as strings, flags as 0/1 lists)
  // take the dialect's form.
  for (const NamedAttribute &a : attrs) {
    std::string error;
    Attribute value = lumo::attributeFromLibrary(name, a.getName().getValue(), a.getValue(), error);
    if (!value) unsupported(error);
    state.addAttribute(a.getName(), value);
  }
  return state;
}

Value Emitter::op(StringRef name, ValueRange operands, Type result, ArrayRef<NamedAttribute> attrs) {
  // As OpBuilder::createOrFold: the operation is folded before it is inserted, so one that folds
  // away never reaches the block (nor the conversion's bookkeeping).
  // The constant operands are the lumo.Const ones (what OpBuilder::tryFold finds through the
  // generic constant matcher, read directly).
  Operation *created = Operation::create(stateOf(name, operands, result, attrs));
  llvm::SmallVector<Attribute, 4> constants;
  constants.reserve(created->getNumOperands());
  for (Value v : created->getOperands()) constants.push_back(constValue(v));
  llvm::SmallVector<OpFoldResult, 1> folded;
  // A constant folds to its own value: nothing to gain.
  if (!isa<lumo::ConstOp>(created) && succeeded(created->fold(constants, folded)) &&
      folded.size() == 1) {
    Value replacement = folded[0].dyn_cast<Value>();
    if (!replacement) {
      if (Operation *c = created->getDialect()->materializeConstant(
              b, folded[0].get<Attribute>(), result, loc))
        replacement = c->getResult(0);
    }
    if (replacement && replacement != created->getResult(0)) {
      created->destroy();
      return replacement;
    }
  }
  b.insert(created);
  return created->getResult(0);
}

Value Emitter::cast(Value x, Type elem) {
  // Patterns cast every operand to the type they compute in, which it mostly has already; the
  // Cast's fold would drop such a cast, but only after it was built.
  if (elemOf(x) == elem) return x;
  return op("lumo.Cast", x, tensorOf(shapeOf(x), elem));
}

Value Emitter::unaryOp(StringRef name, Value x, ArrayRef<NamedAttribute> attrs) {
  return op(name, x, x.getType(), attrs);
}

Value Emitter::unary(StringRef kind, Value x, std::optional<int64_t> order) {
  Type result = x.getType();
  if (kind.startswith("is") || kind == "signbit") result = tensorOf(shapeOf(x), b.getI1Type());
  if (kind == "frexp_exponent") result = tensorOf(shapeOf(x), b.getIntegerType(32, true));
  if (order) return op("lumo.Unary", x, result, {str("kind", kind), i64("order", *order)});
  return op("lumo.Unary", x, result, {str("kind", kind)});
}

Value Emitter::binaryOp(StringRef name, Value x, Value y) {
  auto type = tensorOf(broadcastShapes(shapeOf(x), shapeOf(y)), elemOf(x));
  return op(name, {x, y}, type);
}

Value Emitter::binary(StringRef kind, Value x, Value y) {
  auto type = tensorOf(broadcastShapes(shapeOf(x), shapeOf(y)), elemOf(x));
  return op("lumo.Binary", {x, y}, type, {str("kind", kind)});
}

Value Emitter::scale(Value x, double c) { return mul(x, scalar(elemOf(x), c)); }
Value Emitter::addScalar(Value x, double c) { return add(x, scalar(elemOf(x), c)); }

Value Emitter::compare(Value x, Value y, StringRef direction) {
  auto type = tensorOf(broadcastShapes(shapeOf(x), shapeOf(y)), b.getI1Type());
  return op("lumo.Compare", {x, y}, type, {str("comparison_direction", direction)});
}

Value Emitter::select(Value cond, Value a, Value bv) {
  Shape shape = broadcastShapes(broadcastShapes(shapeOf(cond), shapeOf(a)), shapeOf(bv));
  return op("lumo.Select", {cond, a, bv}, tensorOf(shape, elemOf(a)));
}

Value Emitter::logicalAnd(Value a, Value bv) {
  return op("lumo.And", {a, bv}, tensorOf(broadcastShapes(shapeOf(a), shapeOf(bv)), elemOf(a)));
}

Value Emitter::logicalOr(Value a, Value bv) {
  return op("lumo.Or", {a, bv}, tensorOf(broadcastShapes(shapeOf(a), shapeOf(bv)), elemOf(a)));
}

Value Emitter::reshape(Value x, ArrayRef<int64_t> shape) {
  if (numElements(shapeOf(x)) != numElements(shape))
    unsupported("cannot reshape " + llvm::Twine(numElements(shapeOf(x))) + " elements into " +
                llvm::Twine(numElements(shape)));
  return op("lumo.Reshape", x, tensorOf(shape, elemOf(x)));
}

Value Emitter::transpose(Value x, ArrayRef<int64_t> perm) {
  if (perm.size() != shapeOf(x).size()) unsupported("permutation does not match the rank");
  Shape shape;
  llvm::SmallVector<bool, 4> seen(perm.size(), false);
  for (int64_t p : perm) {
    if (p < 0 || p >= static_cast<int64_t>(perm.size()) || seen[p]) unsupported("invalid permutation");
    seen[p] = true;
    shape.push_back(shapeOf(x)[p]);
  }
  return op("lumo.Transpose", {x, indexVector(perm)}, tensorOf(shape, elemOf(x)));
}

Value Emitter::broadcastInDim(Value x, ArrayRef<int64_t> shape, ArrayRef<int64_t> dims) {
  auto type = tensorOf(shape, elemOf(x));
  return op("lumo.BroadcastInDim", x, type, {ints("broadcast_dimensions", dims)});
}

Value Emitter::broadcastTo(Value x, ArrayRef<int64_t> shape) {
  ArrayRef<int64_t> in = shapeOf(x);
  if (in.size() > shape.size()) unsupported("cannot broadcast to a lower rank");
  Shape dims;
  for (size_t i = 0; i < in.size(); ++i) {
    int64_t d = shape.size() - in.size() + i;
    if (in[i] != 1 && in[i] != shape[d]) unsupported("shape does not broadcast");
    dims.push_back(d);
  }
  return broadcastInDim(x, shape, dims);
}

Value Emitter::slice(Value x, ArrayRef<int64_t> begin, ArrayRef<int64_t> size) {
  if (begin.size() != shapeOf(x).size() || size.size() != begin.size())
    unsupported("slice does not match the rank");
  for (size_t i = 0; i < begin.size(); ++i)
    if (begin[i] < 0 || size[i] < 0 || begin[i] + size[i] > shapeOf(x)[i])
      unsupported("slice is out of bounds");
  auto type = tensorOf(size, elemOf(x));
  return op("lumo.Slice", {x, indexVector(begin), indexVector(size)}, type);
}

Value Emitter::sliceDim(Value x, int64_t dim, int64_t start, int64_t length) {
  Shape begin(shapeOf(x).size(), 0);
  Shape size(shapeOf(x).begin(), shapeOf(x).end());
  begin[dim] = start;
  size[dim] = length;
  return slice(x, begin, size);
}

Value Emitter::concat(ValueRange values, int64_t axis) {
  if (values.empty()) unsupported("nothing to concatenate");
  for (Value v : values)
    if (rankOf(v) != rankOf(values.front()) || axis < 0 || axis >= rankOf(v))
      unsupported("concatenated tensors differ in rank or lack the axis");
  Shape shape(shapeOf(values.front()).begin(), shapeOf(values.front()).end());
  shape[axis] = 0;
  for (Value v : values) shape[axis] += shapeOf(v)[axis];
  return op("lumo.Concat", values, tensorOf(shape, elemOf(values.front())), {i64("axis", axis)});
}

Value Emitter::pad(Value x, ArrayRef<int64_t> low, ArrayRef<int64_t> high,
                   ArrayRef<int64_t> interior, ArrayRef<NamedAttribute> extra) {
  int64_t rank = rankOf(x);
  if (static_cast<int64_t>(low.size()) != rank || high.size() != low.size() ||
      interior.size() != low.size())
    unsupported("padding does not match the rank");
  Shape shape;
  for (int64_t d = 0; d < rank; ++d) {
    int64_t in = shapeOf(x)[d];
    shape.push_back(low[d] + high[d] + in + std::max<int64_t>(in - 1, 0) * interior[d]);
    if (shape.back() < 0 || interior[d] < 0) unsupported("padding leaves a negative size");
  }
  llvm::SmallVector<NamedAttribute, 5> attrs{ints("edge_padding_low", low),
                                             ints("edge_padding_high", high),
                                             ints("interior_padding", interior)};
  attrs.append(extra.begin(), extra.end());
  return op("lumo.Pad", x, tensorOf(shape, elemOf(x)), attrs);
}

Value Emitter::reduce(Value x, ArrayRef<int64_t> dims, bool keepDims, StringRef kind) {
  Shape shape = reducedShape(shapeOf(x), dims, keepDims);
  Type elem = elemOf(x);
  if (kind == "argmax" || kind == "argmin") elem = si64Type(ctx());
  if (kind == "and" || kind == "or") elem = b.getI1Type();
  llvm::SmallVector<NamedAttribute, 3> attrs{ints("dimensions", dims), str("reduce_kind", kind)};
  if (keepDims) attrs.push_back(flag("keep_dims", true));
  return op("lumo.Reduce", x, tensorOf(shape, elem), attrs);
}

/// Indices in an element type Gather and Scatter take (si32, si64): others are widened to si64.
static Value asIndices(Emitter &e, Value indices) {
  Type elem = elemOf(indices);
  if (elem.isSignedInteger(32) || elem.isSignedInteger(64)) return indices;
  return e.cast(indices, si64Type(e.ctx()));
}

Value Emitter::gather(Value x, Value indices, int64_t axis, int64_t batchDims) {
  if (axis >= rankOf(x) || batchDims > rankOf(indices)) unsupported("gather axis out of range");
  indices = asIndices(*this, indices);
  Shape shape(shapeOf(x).begin(), shapeOf(x).begin() + axis);
  shape.append(shapeOf(indices).begin() + batchDims, shapeOf(indices).end());
  shape.append(shapeOf(x).begin() + axis + 1, shapeOf(x).end());
  llvm::SmallVector<NamedAttribute, 2> attrs{i64("axis", axis)};
  if (batchDims) attrs.push_back(i64("batch_dims", batchDims));
  return op("lumo.Gather", {x, indices}, tensorOf(shape, elemOf(x)), attrs);
}

Value Emitter::scatter(Value self, Value indices, Value updates, int64_t axis, StringRef kind) {
  return op("lumo.Scatter", {self, asIndices(*this, indices), updates}, self.getType(),
            {i64("axis", axis), str("reduce_kind", kind)});
}

Value Emitter::matmul(Value a, Value bv, bool transposeA, bool transposeB) {
  ArrayRef<int64_t> sa = shapeOf(a), sb = shapeOf(bv);
  if (sa.size() < 2 || sb.size() < 2) unsupported("matrix product of operands below rank 2");
  Shape shape = broadcastShapes(sa.drop_back(2), sb.drop_back(2));
  int64_t ka = transposeA ? sa[sa.size() - 2] : sa.back();
  int64_t kb = transposeB ? sb.back() : sb[sb.size() - 2];
  if (ka != kb) unsupported("contracting dimensions differ");
  shape.push_back(transposeA ? sa.back() : sa[sa.size() - 2]);
  shape.push_back(transposeB ? sb[sb.size() - 2] : sb.back());
  return op("lumo.MatMul", {a, bv}, tensorOf(shape, elemOf(a)),
            {flag("transpose_a", transposeA), flag("transpose_b", transposeB)});
}

Value Emitter::conform(Value v, RankedTensorType type) {
  v = cast(v, type.getElementType());
  if (shapeOf(v) == type.getShape()) return v;
  if (numElements(shapeOf(v)) == numElements(type.getShape())) return reshape(v, type.getShape());
  return broadcastTo(v, type.getShape());
}

Value Emitter::sumTo(Value x, ArrayRef<int64_t> shape) {
  ArrayRef<int64_t> in = shapeOf(x);
  if (in == shape) return x;
  if (shape.size() > in.size()) unsupported("cannot sum to a higher rank");
  size_t lead = in.size() - shape.size();
  Shape dims;
  for (size_t i = 0; i < in.size(); ++i)
    if (i < lead || (shape[i - lead] == 1 && in[i] != 1)) dims.push_back(i);
    else if (shape[i - lead] != in[i]) unsupported("shape is not a broadcast of the target");
  return reshape(reduce(x, dims, false, "sum"), shape);
}

// ------------------------------------------------------------------ reading torch operations

StringRef torchKind(Operation *op) {
  StringRef name = op->getName().getStringRef();
  if (!name.consume_front("torch.")) return {};
  if (name == "operator") {
    if (auto n = op->getAttrOfType<StringAttr>("name")) return n.getValue();
    return "operator";
  }
  return name;
}

FunctionState::FunctionState(func::FuncOp f) : func(f), funcOp(f.getOperation()) {
  if (f.isExternal()) return;
  for (BlockArgument arg : f.getArguments()) {
    DenseElementsAttr value;
    auto type = arg.getType().dyn_cast<RankedTensorType>();
    if (type && type.getRank() == 0)
      if (auto attr = f.getArgAttrOfType<DenseElementsAttr>(arg.getArgNumber(),
                                                            "tf.parameter_value"))
        if (attr.getType() == type) value = attr;
    scalars.push_back(value);
  }
}

void Emitter::erase(Operation *op) {
  if (rewriter) rewriter->eraseOp(op);
  else op->erase();
}

Value FunctionState::remap(Value v) const {
  if (!rewriter) return v;
  Value mapped = rewriter->getRemappedValue(v);
  return mapped ? mapped : v;
}

Operation *FunctionState::definingOp(Value v) const {
  if (standIns)
    if (Operation *op = standIns->lookup(v)) return op;
  return v.getDefiningOp();
}

DenseElementsAttr FunctionState::embeddedScalar(Value v) const {
  auto arg = v.dyn_cast<BlockArgument>();
  if (!arg || arg.getOwner()->getParentOp() != funcOp) return nullptr;
  if (arg.getArgNumber() >= scalars.size()) return nullptr;
  return scalars[arg.getArgNumber()];
}

/// Operations whose one result is a list of tensors, read by the prim.ListUnpack that follows.
static bool isListProducer(StringRef kind) {
  return kind.startswith("aten.split") || kind.startswith("aten.unbind") || kind == "aten.chunk";
}

/// Scalar reads whose number is the value of their tensor operand.
static bool isScalarRead(StringRef kind) {
  return kind == "aten.IntImplicit" || kind == "aten.FloatImplicit" ||
         kind == "aten.ScalarImplicit" || kind == "aten.Int.Tensor" ||
         kind == "aten.Float.Tensor" || kind == "aten.Bool.Tensor" || kind == "aten.item";
}

bool isOperandOnlyKind(StringRef kind) {
  return kind.startswith("constant.") || kind == "prim.ListConstruct" || isScalarRead(kind) ||
         kind == "prim.device" || kind == "prim.dtype" || isListProducer(kind);
}

StringRef refusalReason(StringRef kind) {
  static const llvm::StringMap<StringRef> reasons = [] {
    llvm::StringMap<StringRef> m;
    for (StringRef k : {"aten.linalg_ldl_factor_ex", "aten.linalg_ldl_solve"})
      m[k] = "lumo has no LDL factorisation with Bunch-Kaufman pivoting (LAPACK's sytrf; it has "
             "Cholesky, LU, QR, SVD and symmetric eigendecompositions)";
    m["aten.geqrf"] = "lumo.Qr gives Q and R, not LAPACK's compact Householder reflectors";
    m["aten.view_copy.dtype"] =
        "lumo cannot reinterpret the bits of a tensor as another element type (Cast converts "
        "values)";
    m["aten.masked_scatter"] = "how many source elements it reads depends on the mask's values";
    m["aten.nonzero"] = "the shape of its result depends on the values of its input";
    return m;
  }();
  auto it = reasons.find(kind);
  return it == reasons.end() ? StringRef() : it->second;
}

struct Number {
  double f;
  int64_t i;
  bool integral;
};

static std::optional<Number> tensorNumber(Value v, const FunctionState &state) {
  DenseElementsAttr attr = state.embeddedScalar(v);
  if (!attr) attr = Emitter::constValue(v);
  if (!attr) {
    if (Operation *def = v.getDefiningOp())
      if (torchKind(def) == "vtensor.literal") attr = def->getAttrOfType<DenseElementsAttr>("value");
  }
  if (!attr || !attr.isSplat() || attr.getNumElements() != 1) return std::nullopt;
  Type elem = attr.getElementType();
  if (elem.isa<FloatType>()) {
    double f = elementAsDouble(attr.getSplatValue<APFloat>());
    return Number{f, static_cast<int64_t>(f), false};
  }
  if (elem.isa<IntegerType>()) {
    APInt i = attr.getSplatValue<APInt>();
    int64_t n = isBoolType(elem) ? (i.getBoolValue() ? 1 : 0)
                : elem.isUnsignedInteger() ? static_cast<int64_t>(i.getZExtValue())
                                           : i.getSExtValue();
    return Number{static_cast<double>(n), n, true};
  }
  return std::nullopt;
}

static std::optional<Number> scalarNumber(Value v, const FunctionState &state) {
  Operation *def = v.getDefiningOp();
  if (!def) return tensorNumber(v, state);
  StringRef kind = torchKind(def);
  if (kind == "constant.int") {
    if (auto a = def->getAttrOfType<IntegerAttr>("value")) {
      int64_t n = a.getValue().getSExtValue();
      return Number{static_cast<double>(n), n, true};
    }
  } else if (kind == "constant.float") {
    if (auto a = def->getAttrOfType<FloatAttr>("value")) {
      double f = a.getValueAsDouble();
      return Number{f, static_cast<int64_t>(f), false};
    }
  } else if (kind == "constant.bool") {
    if (auto a = def->getAttrOfType<BoolAttr>("value"))
      return Number{a.getValue() ? 1.0 : 0.0, a.getValue() ? 1 : 0, true};
    if (auto a = def->getAttrOfType<IntegerAttr>("value")) {
      bool b = !a.getValue().isZero();
      return Number{b ? 1.0 : 0.0, b ? 1 : 0, true};
    }
  } else if (isScalarRead(kind) && def->getNumOperands() == 1) {
    return tensorNumber(state.remap(def->getOperand(0)), state);
  } else if (kind.empty() || kind == "vtensor.literal") {
    return tensorNumber(v, state);
  }
  return std::nullopt;
}

std::optional<double> constantNumber(Value v, const FunctionState &state) {
  if (auto n = scalarNumber(v, state)) return n->f;
  return std::nullopt;
}

std::optional<Shape> constantInts(Value v, const FunctionState &state) {
  Operation *def = v.getDefiningOp();
  if (!def || torchKind(def) != "prim.ListConstruct") return std::nullopt;
  Shape out;
  for (Value item : def->getOperands()) {
    auto n = scalarNumber(item, state);
    if (!n || !n->integral) return std::nullopt;
    out.push_back(n->i);
  }
  return out;
}

void TorchOp::expectOperands(unsigned min, unsigned max) const {
  if (max == 0) max = min;
  if (size() < min || size() > max)
    unsupported("expected " + llvm::Twine(min) + (min == max ? "" : " or more") +
                " operands, got " + llvm::Twine(size()));
}

Value TorchOp::operand(unsigned i) const {
  if (i >= size())
    unsupported("operand " + llvm::Twine(i) + " is missing (" + llvm::Twine(size()) +
                " operands)");
  if (op == state.converting && i < state.operands.size()) return state.operands[i];
  return state.remap(op->getOperand(i));
}

Operation *TorchOp::producer(unsigned i) const { return state.definingOp(operand(i)); }

bool TorchOp::isNone(unsigned i) const {
  Operation *def = producer(i);
  return def && torchKind(def) == "constant.none";
}

Value TorchOp::tensor(unsigned i) const {
  Value v = operand(i);
  if (DenseElementsAttr attr = state.embeddedScalar(v)) return e.constant(attr);
  if (!v.getType().isa<RankedTensorType>())
    unsupported("operand " + llvm::Twine(i) + " is not a ranked tensor");
  return v;
}

Value TorchOp::optTensor(unsigned i) const { return isNone(i) ? Value() : tensor(i); }

RankedTensorType TorchOp::tensorType(unsigned i) const {
  auto type = operand(i).getType().dyn_cast<RankedTensorType>();
  if (!type) unsupported("operand " + llvm::Twine(i) + " is not a ranked tensor");
  return type;
}

Values TorchOp::tensors(unsigned i) const {
  Operation *def = producer(i);
  if (!def || torchKind(def) != "prim.ListConstruct")
    unsupported("operand " + llvm::Twine(i) + " is not a list of tensors");
  Values out;
  for (Value item : def->getOperands()) {
    item = state.remap(item);
    if (DenseElementsAttr attr = state.embeddedScalar(item)) {
      out.push_back(e.constant(attr));
      continue;
    }
    if (!item.getType().isa<RankedTensorType>())
      unsupported("operand " + llvm::Twine(i) + " holds a value that is not a ranked tensor");
    out.push_back(item);
  }
  return out;
}

/// The number operand i holds; throws, naming `what`, unless it is a constant (an integral one when
/// `integral`).
static Number constantOperand(const TorchOp &t, unsigned i, bool integral, const char *what) {
  auto n = scalarNumber(t.operand(i), t.state);
  if (!n || (integral && !n->integral))
    unsupported("operand " + llvm::Twine(i) + " is not a constant " + what);
  return *n;
}

/// Nothing for a None operand i, else what `read` reads of it.
template <typename T>
static std::optional<T> unlessNone(const TorchOp &t, unsigned i,
                                   T (TorchOp::*read)(unsigned) const) {
  if (t.isNone(i)) return std::nullopt;
  return (t.*read)(i);
}

int64_t TorchOp::i64(unsigned i) const { return constantOperand(*this, i, true, "integer").i; }
double TorchOp::f64(unsigned i) const { return constantOperand(*this, i, false, "number").f; }
bool TorchOp::flag(unsigned i) const { return constantOperand(*this, i, true, "bool").i != 0; }

std::optional<int64_t> TorchOp::optI64(unsigned i) const {
  return unlessNone(*this, i, &TorchOp::i64);
}
std::optional<double> TorchOp::optF64(unsigned i) const {
  return unlessNone(*this, i, &TorchOp::f64);
}
std::optional<bool> TorchOp::optFlag(unsigned i) const {
  return unlessNone(*this, i, &TorchOp::flag);
}

std::string TorchOp::str(unsigned i) const {
  Operation *def = producer(i);
  if (def && torchKind(def) == "constant.str")
    if (auto a = def->getAttrOfType<StringAttr>("value")) return a.getValue().str();
  unsupported("operand " + llvm::Twine(i) + " is not a constant string");
}

Shape TorchOp::ints(unsigned i) const {
  auto v = constantInts(operand(i), state);
  if (!v) unsupported("operand " + llvm::Twine(i) + " is not a list of constant integers");
  return *v;
}

std::optional<Shape> TorchOp::optInts(unsigned i) const {
  return unlessNone(*this, i, &TorchOp::ints);
}

llvm::SmallVector<bool, 4> TorchOp::flags(unsigned i) const {
  auto v = constantInts(operand(i), state);
  if (!v) unsupported("operand " + llvm::Twine(i) + " is not a list of constant bools");
  llvm::SmallVector<bool, 4> out;
  for (int64_t x : *v) out.push_back(x != 0);
  return out;
}

std::optional<double> TorchOp::number(unsigned i) const {
  return constantNumber(operand(i), state);
}

bool TorchOp::isNumber(unsigned i) const {
  return !operand(i).getType().isa<RankedTensorType>();
}

Value TorchOp::scalar(unsigned i, Type elem) const {
  Value v = operand(i);
  if (auto n = scalarNumber(v, state)) {
    if (n->integral && elem.isa<IntegerType>() && !isBoolType(elem)) {
      auto type = tensorOf({}, elem);
      auto it = elem.cast<IntegerType>();
      return e.constant(DenseElementsAttr::get(
          type, ArrayRef<APInt>{APInt(it.getWidth(), static_cast<uint64_t>(n->i), true)}));
    }
    return e.scalar(elem, n->f);
  }
  Value t = v;
  if (Operation *def = v.getDefiningOp())
    if (isScalarRead(torchKind(def)) && def->getNumOperands() == 1)
      t = state.remap(def->getOperand(0));
  auto type = t.getType().dyn_cast<RankedTensorType>();
  if (!type) unsupported("operand " + llvm::Twine(i) + " is not a scalar the program can read");
  if (numElements(type.getShape()) != 1)
    unsupported("operand " + llvm::Twine(i) + " is not a one-element tensor");
  return e.cast(e.reshape(t, {}), elem);
}

Value TorchOp::value(unsigned i, Type elem) const {
  if (operand(i).getType().isa<RankedTensorType>()) return e.cast(tensor(i), elem);
  return scalar(i, elem);
}

Type TorchOp::promoted(ArrayRef<unsigned> operands) const {
  llvm::SmallVector<PromotionInput, 4> inputs;
  MLIRContext *ctx = op->getContext();
  for (unsigned i : operands) {
    Value v = operand(i);
    if (auto type = v.getType().dyn_cast<RankedTensorType>()) {
      inputs.push_back({type.getElementType(), type.getRank() > 0, false});
      continue;
    }
    // A number: its torch type gives the category.
    Type elem = Float32Type::get(ctx);
    if (auto opaque = v.getType().dyn_cast<OpaqueType>()) {
      StringRef data = opaque.getTypeData();
      if (data == "int") elem = si64Type(ctx);
      else if (data == "bool") elem = IntegerType::get(ctx, 1);
      else if (data != "float") {
        auto n = scalarNumber(v, state);
        if (n && n->integral) elem = si64Type(ctx);
      }
    }
    inputs.push_back({elem, false, true});
  }
  return promoteTypes(ctx, inputs);
}

RankedTensorType TorchOp::resultType(unsigned i) const {
  if (i >= op->getNumResults()) unsupported("result " + llvm::Twine(i) + " is missing");
  auto type = op->getResult(i).getType().dyn_cast<RankedTensorType>();
  if (!type) unsupported("result " + llvm::Twine(i) + " is not a ranked tensor");
  if (opmath && isReducedFloat(type.getElementType()))
    return tensorOf(type.getShape(), Float32Type::get(op->getContext()));
  return type;
}

PatternFn inOpmath(PatternFn fn, std::function<bool(TorchOp &)> when) {
  return [fn, when](TorchOp &t) -> Values {
    bool reduced = llvm::any_of(t.op->getResultTypes(), [](Type type) {
      auto ranked = type.dyn_cast<RankedTensorType>();
      return ranked && isReducedFloat(ranked.getElementType());
    });
    if (!reduced || (when && !when(t))) return fn(t);
    t.opmath = true;
    Values results;
    try {
      results = fn(t);
    } catch (...) {
      t.opmath = false;
      throw;
    }
    t.opmath = false;
    for (unsigned i = 0; i < results.size(); ++i)
      if (results[i]) results[i] = t.e.cast(results[i], t.resultElem(i));
    return results;
  };
}

// ------------------------------------------------------------------ the table

const PatternTable &patterns() {
  static const PatternTable table = [] {
    PatternTable t;
    ArrayRef<StringRef> names = patternFamilies();
    void (*adders[])(PatternTable &) = {
        addElementwisePatterns, addReductionPatterns,    addLinalgPatterns,
        addShapePatterns,       addIndexingPatterns,     addNormalizationPatterns,
        addConvolutionPatterns, addLossPatterns,         addCreationPatterns,
        addLumoPatterns,        addComplexPatterns,      addCollectivePatterns};
    for (size_t i = 0; i < names.size(); ++i) {
      t.family = names[i];
      adders[i](t);
    }
    t.family = StringRef();
    return t;
  }();
  return table;
}

ArrayRef<StringRef> patternFamilies() {
  static const StringRef names[] = {"elementwise", "reductions",    "linalg",
                                    "shape",       "indexing",      "normalization",
                                    "convolution", "losses",        "creation",
                                    "lumo",        "complex",       "collectives"};
  return names;
}

}  // namespace torch_lumo

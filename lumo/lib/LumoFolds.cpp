// Folds and canonicalisation patterns of the lumo operations (the table's `folder` and
// `canonicalizer` fields). Folds only look at an operation and the constants feeding it; a fold
// that computes a value returns an attribute, which the dialect materialises as a lumo.Const.
// Constants are computed only where it is cheap: splats, and casts of small constants.
//
// Folds also run on operations the conversion has just built, before verification, so each one
// checks what it relies on (ranks, element counts) instead of assuming a verified operation.
#include "lumo/LumoOps.h"

#include <algorithm>

#include "llvm/ADT/APSInt.h"
#include "llvm/ADT/STLExtras.h"
#include "mlir/IR/Matchers.h"
#include "mlir/IR/PatternMatch.h"

using namespace mlir;

namespace lumo {

namespace {

// Non-splat constants up to this many elements are converted by a Cast's fold.
constexpr int64_t kCastFoldLimit = 4096;

RankedTensorType rankedOf(Value v) { return v.getType().dyn_cast<RankedTensorType>(); }

DenseElementsAttr splatOf(Attribute a) {
  auto d = a.dyn_cast_or_null<DenseElementsAttr>();
  return d && d.isSplat() ? d : nullptr;
}

bool isI1(Type t) { return t.isInteger(1); }

// The splat value as an APFloat / APInt, if `a` is a splat of that kind.
std::optional<APFloat> splatFloat(Attribute a) {
  auto d = splatOf(a);
  if (!d || !d.getElementType().isa<FloatType>())
    return std::nullopt;
  return d.getSplatValue<APFloat>();
}
std::optional<APInt> splatInt(Attribute a) {
  auto d = splatOf(a);
  if (!d || !d.getElementType().isa<IntegerType>())
    return std::nullopt;
  return d.getSplatValue<APInt>();
}

// Whether `a` is a splat of the neutral element: zero of the given sign for floats (x + -0 and
// x - +0 are x for every x, x + +0 is not for x = -0), zero or one for integers.
bool isSplatZero(Attribute a, bool negative) {
  if (auto f = splatFloat(a))
    return f->isZero() && f->isNegative() == negative;
  if (auto i = splatInt(a))
    return i->isZero();
  return false;
}
bool isSplatOne(Attribute a) {
  if (auto f = splatFloat(a))
    return f->isExactlyValue(1.0);
  if (auto i = splatInt(a))
    return i->isOne();
  return false;
}

// The splat of `value` in `type`, for a result type that is a ranked tensor.
Attribute splatIn(Type type, Attribute value) {
  auto shaped = type.dyn_cast<RankedTensorType>();
  auto d = splatOf(value);
  if (!shaped || !d || d.getElementType() != shaped.getElementType())
    return {};
  if (d.getType() == shaped)
    return d;
  return d.resizeSplat(shaped);
}

enum class Arith { Add, Sub, Mul, Div };

// lhs op rhs for two splat constants, as the operation computes it (floats rounded once to the
// element type, integers wrapping, i1 as logical or/and); nothing where the result is not defined
// (integer division by zero or overflowing).
Attribute foldSplatArith(Arith kind, Type resultType, Attribute lhs, Attribute rhs) {
  auto type = resultType.dyn_cast<RankedTensorType>();
  if (!type || !splatOf(lhs) || !splatOf(rhs) || splatOf(lhs).getElementType() != type.getElementType() ||
      splatOf(rhs).getElementType() != type.getElementType())
    return {};
  Type elem = type.getElementType();
  if (auto x = splatFloat(lhs)) {
    APFloat y = *splatFloat(rhs), r = *x;
    auto mode = APFloat::rmNearestTiesToEven;
    switch (kind) {
    case Arith::Add: r.add(y, mode); break;
    case Arith::Sub: r.subtract(y, mode); break;
    case Arith::Mul: r.multiply(y, mode); break;
    case Arith::Div: r.divide(y, mode); break;
    }
    return DenseElementsAttr::get(type, r);
  }
  APInt x = *splatInt(lhs), y = *splatInt(rhs);
  bool isUnsigned = elem.isUnsignedInteger();
  if (isI1(elem)) {
    if (kind == Arith::Add)
      return DenseElementsAttr::get(type, x.getBoolValue() || y.getBoolValue());
    if (kind == Arith::Mul)
      return DenseElementsAttr::get(type, x.getBoolValue() && y.getBoolValue());
    return {};
  }
  APInt r;
  switch (kind) {
  case Arith::Add: r = x + y; break;
  case Arith::Sub: r = x - y; break;
  case Arith::Mul: r = x * y; break;
  case Arith::Div:
    if (y.isZero() || (!isUnsigned && x.isMinSignedValue() && y.isAllOnes()))
      return {};
    r = isUnsigned ? x.udiv(y) : x.sdiv(y);
    break;
  }
  return DenseElementsAttr::get(type, r);
}

// The permutation a constant holds, if it is a 1-D integer constant.
std::optional<SmallVector<int64_t>> permutationOf(Attribute a) {
  auto d = a.dyn_cast_or_null<DenseIntElementsAttr>();
  if (!d || d.getType().getRank() != 1)
    return std::nullopt;
  SmallVector<int64_t> out;
  for (const APInt &v : d.getValues<APInt>())
    out.push_back(v.getSExtValue());
  return out;
}
std::optional<SmallVector<int64_t>> permutationOf(Value v) {
  Attribute a;
  if (!matchPattern(v, m_Constant(&a)))
    return std::nullopt;
  return permutationOf(a);
}

bool isIdentity(ArrayRef<int64_t> perm) {
  for (size_t i = 0; i < perm.size(); ++i)
    if (perm[i] != static_cast<int64_t>(i))
      return false;
  return true;
}

// Whether `perm` swaps the last two of its dimensions and keeps the others.
bool swapsLastTwo(ArrayRef<int64_t> perm) {
  int64_t n = perm.size();
  if (n < 2)
    return false;
  for (int64_t i = 0; i + 2 < n; ++i)
    if (perm[i] != i)
      return false;
  return perm[n - 2] == n - 1 && perm[n - 1] == n - 2;
}

// Whether permuting `shape` by `perm` moves only dimensions of size 1 (the element order stays).
bool movesOnlyUnitDimensions(ArrayRef<int64_t> shape, ArrayRef<int64_t> perm) {
  SmallVector<int64_t> kept, keptAfter;
  for (size_t i = 0; i < perm.size(); ++i)
    if (shape[i] != 1)
      kept.push_back(i);
  for (int64_t p : perm) {
    if (p < 0 || p >= static_cast<int64_t>(shape.size()))
      return false;
    if (shape[p] != 1)
      keptAfter.push_back(p);
  }
  return kept == keptAfter;
}

// A 1-D si64 lumo.Const holding `values`.
Value indexConstant(PatternRewriter &rewriter, Location loc, ArrayRef<int64_t> values) {
  auto type = RankedTensorType::get({static_cast<int64_t>(values.size())},
                                    IntegerType::get(rewriter.getContext(), 64, IntegerType::Signed));
  SmallVector<APInt> ints;
  for (int64_t v : values)
    ints.push_back(APInt(64, static_cast<uint64_t>(v), true));
  return rewriter.create<ConstOp>(loc, type, DenseElementsAttr::get(type, ints));
}

// One element converted as Tensor.to(dtype) converts it; nothing where that is not defined
// (NaN or an out-of-range float converted to an integer).
std::optional<APInt> toInt(const APFloat &f, IntegerType to) {
  if (to.getWidth() == 1)
    return APInt(1, f.isZero() ? 0 : 1);
  APSInt out(to.getWidth(), to.isUnsigned());
  bool exact = false;
  if (f.convertToInteger(out, APFloat::rmTowardZero, &exact) & APFloat::opInvalidOp)
    return std::nullopt;
  return static_cast<APInt>(out);
}
APFloat toFloat(const APInt &i, bool isUnsigned, FloatType to) {
  APFloat out(to.getFloatSemantics());
  out.convertFromAPInt(i, !isUnsigned, APFloat::rmNearestTiesToEven);
  return out;
}
APInt intToInt(const APInt &i, bool fromUnsigned, IntegerType to) {
  if (to.getWidth() == 1)
    return APInt(1, i.isZero() ? 0 : 1);
  return fromUnsigned || i.getBitWidth() == 1 ? i.zextOrTrunc(to.getWidth()) : i.sextOrTrunc(to.getWidth());
}

Attribute castConstant(DenseElementsAttr in, RankedTensorType to) {
  Type from = in.getElementType(), elem = to.getElementType();
  auto fromFloat = from.dyn_cast<FloatType>();
  auto fromInt = from.dyn_cast<IntegerType>();
  if (auto ft = elem.dyn_cast<FloatType>()) {
    SmallVector<APFloat> out;
    if (fromFloat) {
      for (APFloat f : in.getValues<APFloat>()) {
        bool lost = false;
        f.convert(ft.getFloatSemantics(), APFloat::rmNearestTiesToEven, &lost);
        out.push_back(f);
      }
    } else if (fromInt) {
      for (const APInt &i : in.getValues<APInt>())
        out.push_back(toFloat(i, fromInt.isUnsigned() || fromInt.getWidth() == 1, ft));
    } else {
      return {};
    }
    return DenseElementsAttr::get(to, out);
  }
  auto it = elem.dyn_cast<IntegerType>();
  if (!it)
    return {};
  SmallVector<APInt> out;
  if (fromFloat) {
    for (const APFloat &f : in.getValues<APFloat>()) {
      auto i = toInt(f, it);
      if (!i)
        return {};
      out.push_back(*i);
    }
  } else if (fromInt) {
    for (const APInt &i : in.getValues<APInt>())
      out.push_back(intToInt(i, fromInt.isUnsigned(), it));
  } else {
    return {};
  }
  return DenseElementsAttr::get(to, out);
}

} // namespace

//===----------------------------------------------------------------------===//
// Constants and elementwise arithmetic
//===----------------------------------------------------------------------===//

// A constant-like operation always folds (to its value, whose type the verifier checks); the folds
// below, which may run on operations not yet verified, check what they read from a constant.
OpFoldResult ConstOp::fold(FoldAdaptor) { return getValue(); }

// x + 0 and 0 + x (the float zero that keeps every x, -0), splat + splat.
OpFoldResult AddOp::fold(FoldAdaptor adaptor) {
  if (Attribute c = foldSplatArith(Arith::Add, getType(), adaptor.getX(), adaptor.getY()))
    return c;
  if (isSplatZero(adaptor.getY(), /*negative=*/true) && getX().getType() == getType())
    return getX();
  if (isSplatZero(adaptor.getX(), /*negative=*/true) && getY().getType() == getType())
    return getY();
  return {};
}

// x - 0 (+0 for floats), splat - splat.
OpFoldResult SubOp::fold(FoldAdaptor adaptor) {
  if (Attribute c = foldSplatArith(Arith::Sub, getType(), adaptor.getX(), adaptor.getY()))
    return c;
  if (isSplatZero(adaptor.getY(), /*negative=*/false) && getX().getType() == getType())
    return getX();
  return {};
}

// x * 1, 1 * x, splat * splat.
OpFoldResult MulOp::fold(FoldAdaptor adaptor) {
  if (Attribute c = foldSplatArith(Arith::Mul, getType(), adaptor.getX(), adaptor.getY()))
    return c;
  if (isSplatOne(adaptor.getY()) && getX().getType() == getType())
    return getX();
  if (isSplatOne(adaptor.getX()) && getY().getType() == getType())
    return getY();
  return {};
}

// x / 1, splat / splat (not an integer division by zero).
OpFoldResult DivOp::fold(FoldAdaptor adaptor) {
  if (Attribute c = foldSplatArith(Arith::Div, getType(), adaptor.getX(), adaptor.getY()))
    return c;
  if (!isI1(getType().cast<ShapedType>().getElementType()) && isSplatOne(adaptor.getY()) &&
      getX().getType() == getType())
    return getX();
  return {};
}

// A cast to the operand's own type; a cast of a splat or of a small constant.
OpFoldResult CastOp::fold(FoldAdaptor adaptor) {
  if (getX().getType() == getType())
    return getX();
  auto to = getType().dyn_cast<RankedTensorType>();
  auto in = adaptor.getX().dyn_cast_or_null<DenseElementsAttr>();
  if (!to || !in || in.getType().getShape() != to.getShape())
    return {};
  if (in.isSplat()) {
    auto one = castConstant(in.resizeSplat(RankedTensorType::get({}, in.getElementType())),
                            RankedTensorType::get({}, to.getElementType()));
    return one ? splatIn(to, one) : Attribute();
  }
  if (in.getNumElements() > kCastFoldLimit)
    return {};
  return castConstant(in, to);
}

// cond ? a : b with a splat condition: the chosen operand when it has the result's type, or its
// splat value. (A chosen operand that must broadcast becomes a BroadcastInDim: a pattern.)
OpFoldResult SelectOp::fold(FoldAdaptor adaptor) {
  auto cond = splatOf(adaptor.getCond());
  if (!cond || !isI1(cond.getElementType()))
    return {};
  bool pickA = cond.getSplatValue<bool>();
  Value chosen = pickA ? getA() : getB();
  if (chosen.getType() == getType())
    return chosen;
  if (Attribute s = splatIn(getType(), pickA ? adaptor.getA() : adaptor.getB()))
    return s;
  return {};
}

namespace {

// A select with a constant condition whose chosen operand broadcasts: a BroadcastInDim of it.
struct SelectOfSplatCondition : OpRewritePattern<SelectOp> {
  using OpRewritePattern::OpRewritePattern;
  LogicalResult matchAndRewrite(SelectOp op, PatternRewriter &rewriter) const override {
    Attribute attr;
    if (!matchPattern(op.getCond(), m_Constant(&attr)) || !splatOf(attr))
      return rewriter.notifyMatchFailure(op, "the condition is not a splat constant");
    Value chosen = splatOf(attr).getSplatValue<bool>() ? op.getA() : op.getB();
    auto from = rankedOf(chosen), to = rankedOf(op.getResult());
    if (!from || !to || from.getElementType() != to.getElementType() || from.getRank() > to.getRank())
      return failure();
    SmallVector<int64_t> dims;
    for (int64_t i = 0; i < from.getRank(); ++i)
      dims.push_back(to.getRank() - from.getRank() + i);
    if (from == to)
      rewriter.replaceOp(op, chosen);
    else
      rewriter.replaceOpWithNewOp<BroadcastInDimOp>(op, to, chosen, rewriter.getDenseI64ArrayAttr(dims));
    return success();
  }
};

} // namespace

void SelectOp::getCanonicalizationPatterns(RewritePatternSet &results, MLIRContext *context) {
  results.add<SelectOfSplatCondition>(context);
}

//===----------------------------------------------------------------------===//
// Shapes
//===----------------------------------------------------------------------===//

// A reshape to the operand's own type; of a constant; of a reshape (which it then reads through).
OpFoldResult ReshapeOp::fold(FoldAdaptor adaptor) {
  Value input = getInput();
  if (input.getType() == getType())
    return input;
  auto type = getType().dyn_cast<RankedTensorType>();
  auto inType = rankedOf(input);
  if (!type || !inType || !type.hasStaticShape() || !inType.hasStaticShape() ||
      type.getNumElements() != inType.getNumElements())
    return {};
  if (auto c = adaptor.getInput().dyn_cast_or_null<DenseElementsAttr>();
      c && c.getNumElements() == type.getNumElements() && c.getElementType() == type.getElementType())
    return c.reshape(type);
  if (auto inner = input.getDefiningOp<ReshapeOp>()) {
    if (inner.getInput().getType() == getType())
      return inner.getInput();
    getInputMutable().assign(inner.getInput());
    return getResult();
  }
  return {};
}

// The identity permutation; a permutation of a splat; a permutation of a permutation that undoes
// it.
OpFoldResult TransposeOp::fold(FoldAdaptor adaptor) {
  auto perm = permutationOf(adaptor.getPerm());
  auto inType = rankedOf(getX());
  if (!perm || !inType || static_cast<int64_t>(perm->size()) != inType.getRank())
    return {};
  if (isIdentity(*perm) && getX().getType() == getType())
    return getX();
  if (Attribute s = splatIn(getType(), adaptor.getX()))
    return s;
  // A constant whose moved dimensions all have size 1 keeps its element order.
  auto type = getType().dyn_cast<RankedTensorType>();
  if (auto c = adaptor.getX().dyn_cast_or_null<DenseElementsAttr>();
      c && type && type.hasStaticShape() && type.getElementType() == c.getElementType() &&
      type.getNumElements() == c.getNumElements() && movesOnlyUnitDimensions(inType.getShape(), *perm))
    return c.reshape(type);
  if (auto inner = getX().getDefiningOp<TransposeOp>()) {
    auto innerPerm = permutationOf(inner.getPerm());
    if (innerPerm && innerPerm->size() == perm->size() && inner.getX().getType() == getType()) {
      bool identity = true;
      for (size_t k = 0; k < perm->size(); ++k) {
        int64_t p = (*perm)[k];
        identity &= p >= 0 && p < static_cast<int64_t>(innerPerm->size()) &&
                    (*innerPerm)[p] == static_cast<int64_t>(k);
      }
      if (identity)
        return inner.getX();
    }
  }
  return {};
}

namespace {

// The permutation of a transpose, checked to be one of [0, rank).
std::optional<SmallVector<int64_t>> validPermutation(TransposeOp op) {
  auto perm = permutationOf(op.getPerm());
  auto in = rankedOf(op.getX());
  if (!perm || !in || static_cast<int64_t>(perm->size()) != in.getRank())
    return std::nullopt;
  SmallVector<bool> seen(perm->size(), false);
  for (int64_t p : *perm) {
    if (p < 0 || p >= static_cast<int64_t>(perm->size()) || seen[p])
      return std::nullopt;
    seen[p] = true;
  }
  return perm;
}

// transpose(transpose(x, p), q) -> transpose(x, p o q).
struct ComposeTransposes : OpRewritePattern<TransposeOp> {
  using OpRewritePattern::OpRewritePattern;
  LogicalResult matchAndRewrite(TransposeOp op, PatternRewriter &rewriter) const override {
    auto inner = op.getX().getDefiningOp<TransposeOp>();
    if (!inner)
      return failure();
    auto outerPerm = validPermutation(op), innerPerm = validPermutation(inner);
    if (!outerPerm || !innerPerm || outerPerm->size() != innerPerm->size())
      return failure();
    SmallVector<int64_t> composed;
    for (int64_t p : *outerPerm)
      composed.push_back((*innerPerm)[p]);
    Value perm = indexConstant(rewriter, op.getLoc(), composed);
    rewriter.replaceOpWithNewOp<TransposeOp>(op, op.getType(), inner.getX(), perm);
    return success();
  }
};

// A transpose that moves only dimensions of size 1 keeps the element order: a reshape.
struct TransposeOfUnitDimensions : OpRewritePattern<TransposeOp> {
  using OpRewritePattern::OpRewritePattern;
  LogicalResult matchAndRewrite(TransposeOp op, PatternRewriter &rewriter) const override {
    auto perm = validPermutation(op);
    if (!perm || isIdentity(*perm))
      return failure();
    if (!movesOnlyUnitDimensions(rankedOf(op.getX()).getShape(), *perm))
      return rewriter.notifyMatchFailure(op, "moves a dimension larger than 1");
    rewriter.replaceOpWithNewOp<ReshapeOp>(op, op.getType(), op.getX());
    return success();
  }
};

// (a b)^T = b^T a^T: a matrix product read only through a transpose of its last two dimensions is
// computed transposed.
struct TransposeOfMatMul : OpRewritePattern<TransposeOp> {
  using OpRewritePattern::OpRewritePattern;
  LogicalResult matchAndRewrite(TransposeOp op, PatternRewriter &rewriter) const override {
    auto product = op.getX().getDefiningOp<MatMulOp>();
    if (!product || !product->hasOneUse())
      return failure();
    auto perm = validPermutation(op);
    if (!perm || !swapsLastTwo(*perm))
      return failure();
    Value a = product.getA(), b = product.getB();
    int64_t rank = perm->size();
    if (rankedOf(a).getRank() != rank || rankedOf(b).getRank() != rank)
      return rewriter.notifyMatchFailure(op, "the product broadcasts its operands");
    rewriter.replaceOpWithNewOp<MatMulOp>(op, op.getType(), b, a, !product.getTransposeB(),
                                          !product.getTransposeA());
    return success();
  }
};

} // namespace

void TransposeOp::getCanonicalizationPatterns(RewritePatternSet &results, MLIRContext *context) {
  results.add<ComposeTransposes, TransposeOfUnitDimensions, TransposeOfMatMul>(context);
}

namespace {

// A batched product of operands that are reshapes of a batch of more dimensions (attention's
// [batch, heads, M, K] read as [batch * heads, M, K]) is computed on that batch shape and its
// result reshaped: merging the batch dimensions of a transposed operand copies it, while the
// product reads every matrix where it lies. Both operands get the batch shape (splitting a batch
// dimension never moves an element); the reshapes between products then fold away.
struct MatMulOfBatchReshapes : OpRewritePattern<MatMulOp> {
  using OpRewritePattern::OpRewritePattern;
  LogicalResult matchAndRewrite(MatMulOp op, PatternRewriter &rewriter) const override {
    auto aType = rankedOf(op.getA()), bType = rankedOf(op.getB());
    auto type = op.getType().dyn_cast<RankedTensorType>();
    if (!aType || !bType || !type || !aType.hasStaticShape() || !bType.hasStaticShape() || !type.hasStaticShape())
      return failure();
    int64_t rank = aType.getRank();
    if (rank < 3 || bType.getRank() != rank || type.getRank() != rank)
      return failure();
    ArrayRef<int64_t> batch = aType.getShape().drop_back(2);
    if (bType.getShape().drop_back(2) != batch)
      return rewriter.notifyMatchFailure(op, "the product broadcasts its operands");
    SmallVector<int64_t> target;
    for (Value v : {op.getA(), op.getB()}) {
      auto reshape = v.getDefiningOp<ReshapeOp>();
      auto in = reshape ? rankedOf(reshape.getInput()) : RankedTensorType();
      if (!in || !in.hasStaticShape() || in.getRank() <= rank ||
          in.getShape().take_back(2) != rankedOf(v).getShape().take_back(2))
        continue;
      target.assign(in.getShape().begin(), in.getShape().end() - 2);
      break;
    }
    if (target.empty())
      return rewriter.notifyMatchFailure(op, "no operand is a reshape of a larger batch");
    auto withBatch = [&](ArrayRef<int64_t> matrix) {
      SmallVector<int64_t> shape(target);
      shape.append(matrix.begin(), matrix.end());
      return RankedTensorType::get(shape, type.getElementType());
    };
    auto reshaped = [&](Value v) -> Value {
      auto t = withBatch(rankedOf(v).getShape().take_back(2));
      if (auto reshape = v.getDefiningOp<ReshapeOp>(); reshape && reshape.getInput().getType() == t)
        return reshape.getInput();
      return rewriter.create<ReshapeOp>(op.getLoc(), t, v);
    };
    Value a = reshaped(op.getA()), b = reshaped(op.getB());
    auto product = rewriter.create<MatMulOp>(op.getLoc(), withBatch(type.getShape().take_back(2)), a, b,
                                             op.getTransposeA(), op.getTransposeB());
    rewriter.replaceOpWithNewOp<ReshapeOp>(op, type, product);
    return success();
  }
};

} // namespace

void MatMulOp::getCanonicalizationPatterns(RewritePatternSet &results, MLIRContext *context) {
  results.add<MatMulOfBatchReshapes>(context);
}

// An operand that is a transpose of its last two dimensions becomes the operand's transpose flag.
OpFoldResult MatMulOp::fold(FoldAdaptor) {
  bool changed = false;
  for (unsigned i = 0; i < 2; ++i) {
    Value v = getOperand(i);
    auto t = v.getDefiningOp<TransposeOp>();
    if (!t)
      continue;
    auto perm = permutationOf(t.getPerm());
    auto in = rankedOf(t.getX());
    if (!perm || !in || static_cast<int64_t>(perm->size()) != in.getRank() || !swapsLastTwo(*perm))
      continue;
    getOperation()->setOperand(i, t.getX());
    if (i == 0)
      setTransposeA(!getTransposeA());
    else
      setTransposeB(!getTransposeB());
    changed = true;
  }
  return changed ? OpFoldResult(getResult()) : OpFoldResult();
}

// A broadcast to the operand's own type along the identity mapping; a broadcast of a splat.
OpFoldResult BroadcastInDimOp::fold(FoldAdaptor adaptor) {
  if (getOperand().getType() == getType() && isIdentity(getBroadcastDimensions()))
    return getOperand();
  if (Attribute s = splatIn(getType(), adaptor.getOperand()))
    return s;
  return {};
}

// A slice of everything; of a splat; of a DynamicUpdateSlice at constant indices, when the slice
// is exactly the update, or lies beside it (then it reads the updated operand).
OpFoldResult SliceOp::fold(FoldAdaptor adaptor) {
  auto begin = permutationOf(adaptor.getBegin()), size = permutationOf(adaptor.getSize());
  auto inType = rankedOf(getInput());
  if (!begin || !size || !inType || static_cast<int64_t>(begin->size()) != inType.getRank() ||
      size->size() != begin->size())
    return {};
  ArrayRef<int64_t> in = inType.getShape();
  if (ArrayRef<int64_t>(*size) == in && llvm::all_of(*begin, [](int64_t b) { return b == 0; }) &&
      getInput().getType() == getType())
    return getInput();
  if (Attribute s = splatIn(getType(), adaptor.getInput()))
    return s;
  auto update = getInput().getDefiningOp<DynamicUpdateSliceOp>();
  if (!update || update.getStartIndices().size() != begin->size())
    return {};
  auto operandType = rankedOf(update.getOperand()), updateType = rankedOf(update.getUpdate());
  if (!operandType || !updateType || operandType.getRank() != inType.getRank() ||
      updateType.getRank() != inType.getRank())
    return {};
  bool same = true, apart = false;
  for (size_t i = 0; i < begin->size(); ++i) {
    Attribute index;
    if (!matchPattern(update.getStartIndices()[i], m_Constant(&index)))
      return {};
    auto dense = index.dyn_cast<DenseIntElementsAttr>();
    if (!dense || dense.getNumElements() != 1 || isI1(dense.getElementType()))
      return {};
    // Start indices are clamped as DynamicUpdateSlice clamps them.
    int64_t last = operandType.getDimSize(i) - updateType.getDimSize(i);
    int64_t start = std::clamp<int64_t>((*dense.value_begin<APInt>()).getSExtValue(), 0, std::max<int64_t>(last, 0));
    int64_t end = start + updateType.getDimSize(i);
    same &= (*begin)[i] == start && (*size)[i] == updateType.getDimSize(i);
    apart |= (*begin)[i] + (*size)[i] <= start || (*begin)[i] >= end;
  }
  if (same && update.getUpdate().getType() == getType())
    return update.getUpdate();
  if (apart) {
    getInputMutable().assign(update.getOperand());
    return getResult();
  }
  return {};
}

// A concatenation of one tensor.
OpFoldResult ConcatOp::fold(FoldAdaptor) {
  if (getValues().size() == 1 && getValues()[0].getType() == getType())
    return getValues()[0];
  return {};
}

namespace {

// A concatenation along the last dimension of operands that each merge the same trailing
// dimensions into it (attention's gradients of [batch, tokens, heads, features] as
// [batch, tokens, heads * features]) concatenates the unmerged operands along the first merged
// dimension and merges once: each operand is then read where it lies instead of being copied to
// merge its dimensions first.
struct ConcatOfMergedDimensions : OpRewritePattern<ConcatOp> {
  using OpRewritePattern::OpRewritePattern;
  LogicalResult matchAndRewrite(ConcatOp op, PatternRewriter &rewriter) const override {
    auto type = op.getType().dyn_cast<RankedTensorType>();
    if (!type || !type.hasStaticShape() || type.getRank() == 0 || op.getValues().size() < 2)
      return failure();
    int64_t rank = type.getRank(), axis = op.getAxis() ? static_cast<int64_t>(*op.getAxis()) : 0;
    if (axis < 0)
      axis += rank;
    if (axis != rank - 1)
      return rewriter.notifyMatchFailure(op, "concatenates along an inner dimension");
    SmallVector<Value> parts;
    ArrayRef<int64_t> common;
    for (Value v : op.getValues()) {
      auto reshape = v.getDefiningOp<ReshapeOp>();
      auto in = reshape ? rankedOf(reshape.getInput()) : RankedTensorType();
      if (!in || !in.hasStaticShape() || in.getRank() <= rank ||
          in.getShape().take_front(rank - 1) != rankedOf(v).getShape().take_front(rank - 1))
        return rewriter.notifyMatchFailure(op, "an operand is not a merge of trailing dimensions");
      if (parts.empty())
        common = in.getShape();
      else if (in.getShape().drop_front(rank) != common.drop_front(rank) || in.getRank() != int64_t(common.size()))
        return rewriter.notifyMatchFailure(op, "the operands merge different dimensions");
      parts.push_back(reshape.getInput());
    }
    SmallVector<int64_t> shape(common);
    shape[rank - 1] = 0;
    for (Value v : parts)
      shape[rank - 1] += rankedOf(v).getDimSize(rank - 1);
    auto joined = rewriter.create<ConcatOp>(op.getLoc(), RankedTensorType::get(shape, type.getElementType()), parts,
                                            rewriter.getI64IntegerAttr(rank - 1));
    rewriter.replaceOpWithNewOp<ReshapeOp>(op, type, joined);
    return success();
  }
};

} // namespace

void ConcatOp::getCanonicalizationPatterns(RewritePatternSet &results, MLIRContext *context) {
  results.add<ConcatOfMergedDimensions>(context);
}

} // namespace lumo

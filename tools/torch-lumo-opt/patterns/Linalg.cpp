// Matrix products, factorisations and solves. Transposes of the last two dimensions that feed a
// product become the product's transpose flags, so they are never materialised. Solves, inverses
// and determinants are built on lumo.Lu (LU with partial pivoting, as LAPACK's getrf, which eager
// PyTorch runs), lumo.Cholesky and lumo.TriangularSolve; pseudo-inverses, ranks and least squares
// on lumo.Svd, lumo.Qr and lumo.Eigh.
#include "TorchToLumo.h"

#include "lumo/LumoOps.h"

#include "llvm/ADT/SmallBitVector.h"

#include <limits>

namespace torch_lumo {
namespace {

/// v, or the input of a lumo.Transpose that swaps only the last two dimensions of it (then
/// `transposed` flips).
Value peelTranspose(Value v, bool &transposed) {
  Operation *def = v.getDefiningOp();
  if (!def || def->getName().getStringRef() != "lumo.Transpose") return v;
  DenseElementsAttr perm = Emitter::constValue(def->getOperand(1));
  if (!perm) return v;
  int64_t rank = perm.getNumElements(), i = 0;
  if (rank < 2) return v;
  for (const APInt &p : perm.getValues<APInt>()) {
    int64_t want = i < rank - 2 ? i : (i == rank - 2 ? rank - 1 : rank - 2);
    if (p.getSExtValue() != want) return v;
    ++i;
  }
  transposed = !transposed;
  return def->getOperand(0);
}

Value product(Emitter &e, Value a, Value b) {
  bool ta = false, tb = false;
  a = peelTranspose(a, ta);
  b = peelTranspose(b, tb);
  return e.matmul(a, b, ta, tb);
}

/// beta * self + alpha * product, with operands 0 (self), 3 (beta) and 4 (alpha).
Value scaledSum(TorchOp &t, Value prod, Value self, unsigned betaAt, unsigned alphaAt) {
  Emitter &e = t.e;
  Type elem = elemOf(prod);
  auto alpha = t.size() > alphaAt ? t.number(alphaAt) : std::optional<double>(1.0);
  auto beta = t.size() > betaAt ? t.number(betaAt) : std::optional<double>(1.0);
  if (!alpha || *alpha != 1) prod = e.mul(prod, t.scalar(alphaAt, elem));
  if (beta && *beta == 0) return prod;
  if (!beta || *beta != 1) self = e.mul(self, t.scalar(betaAt, elem));
  return e.add(prod, self);
}

Values mm(TorchOp &t) {
  t.expectOperands(2);
  Type elem = t.resultElem();
  return {t.e.conform(product(t.e, t.value(0, elem), t.value(1, elem)), t.resultType())};
}

/// addmm(self, a, b, beta, alpha) and baddbmm.
Values addmm(TorchOp &t) {
  t.expectOperands(5);
  Type elem = t.resultElem();
  Value prod = product(t.e, t.value(1, elem), t.value(2, elem));
  return {t.e.conform(scaledSum(t, prod, t.value(0, elem), 3, 4), t.resultType())};
}

/// addbmm(self, b1, b2, beta, alpha): the batch of products summed. As PyTorch's CPU kernel, one
/// addmm per matrix of the batch, each rounded to the result type (bfloat16 sums in float32 within
/// a step); a long batch is one batched product and a sum.
Values addbmm(TorchOp &t) {
  t.expectOperands(5);
  Type elem = t.resultElem();
  Emitter &e = t.e;
  Value b1 = t.value(1, elem), b2 = t.value(2, elem);
  int64_t batches = rankOf(b1) == 3 ? shapeOf(b1)[0] : 0;
  auto alpha = t.number(4), beta = t.number(3);
  if (batches > 0 && batches <= 16 && alpha && beta && rankOf(b2) == 3) {
    Type acc = isReducedFloat(elem) ? Type(e.b.getF32Type()) : elem;
    auto matrix = [&](Value b, int64_t i) {
      Shape shape(shapeOf(b).begin() + 1, shapeOf(b).end());
      return e.cast(e.reshape(e.sliceDim(b, 0, i, 1), shape), acc);
    };
    Value self = e.cast(t.value(0, elem), acc), result;
    for (int64_t i = 0; i < batches; ++i) {
      Value prod = e.matmul(matrix(b1, i), matrix(b2, i), false, false);
      if (*alpha != 1) prod = e.scale(prod, *alpha);
      if (i > 0) prod = e.add(prod, e.cast(result, acc));
      else if (*beta != 0) prod = e.add(prod, *beta == 1 ? self : e.scale(self, *beta));
      result = e.cast(prod, elem);
    }
    return {e.conform(result, t.resultType())};
  }
  Value prod = t.e.reduce(product(t.e, t.value(1, elem), t.value(2, elem)), {0}, false, "sum");
  return {t.e.conform(scaledSum(t, prod, t.value(0, elem), 3, 4), t.resultType())};
}

/// torch.matmul on operands of any rank >= 1.
Value matmulAnyRank(Emitter &e, Value a, Value b) {
  int64_t ra = rankOf(a), rb = rankOf(b);
  if (ra == 0 || rb == 0) unsupported("matmul of a 0-d tensor");
  Value a2 = ra == 1 ? e.reshape(a, {1, shapeOf(a)[0]}) : a;
  Value b2 = rb == 1 ? e.reshape(b, {shapeOf(b)[0], 1}) : b;
  Value r = product(e, a2, b2);
  Shape shape(shapeOf(r).begin(), shapeOf(r).end());
  if (rb == 1) shape.pop_back();
  if (ra == 1) shape.erase(shape.end() - (rb == 1 ? 1 : 2));
  return e.reshape(r, shape);
}

Values matmul(TorchOp &t) {
  Type elem = t.resultElem();
  return {t.e.conform(matmulAnyRank(t.e, t.value(0, elem), t.value(1, elem)), t.resultType())};
}

/// addmv(self, mat, vec, beta, alpha).
Values addmv(TorchOp &t) {
  Type elem = t.resultElem();
  Value prod = matmulAnyRank(t.e, t.value(1, elem), t.value(2, elem));
  return {t.e.conform(scaledSum(t, prod, t.value(0, elem), 3, 4), t.resultType())};
}

/// addr(self, v1, v2, beta, alpha): the outer product.
Values addr(TorchOp &t) {
  Type elem = t.resultElem();
  Emitter &e = t.e;
  Value v1 = t.value(1, elem), v2 = t.value(2, elem);
  Value outer = e.mul(e.reshape(v1, {shapeOf(v1)[0], 1}), e.reshape(v2, {1, shapeOf(v2)[0]}));
  return {e.conform(scaledSum(t, outer, t.value(0, elem), 3, 4), t.resultType())};
}

Values dot(TorchOp &t) {
  Type elem = t.resultElem();
  Value a = t.value(0, elem), b = t.value(1, elem);
  return {t.e.conform(t.e.reduce(t.e.mul(a, b), {0}, false, "sum"), t.resultType())};
}

/// linear(x, weight, bias?) = x @ weight^T + bias.
Values linear(TorchOp &t) {
  Type elem = t.resultElem();
  Emitter &e = t.e;
  Value x = t.value(0, elem), w = t.value(1, elem);
  Value r = matmulAnyRank(e, x, rankOf(w) == 2 ? e.transpose(w, {1, 0}) : w);
  if (t.size() > 2 && !t.isNone(2)) r = e.add(r, t.value(2, elem));
  return {e.conform(r, t.resultType())};
}

/// linalg_cross(a, b, dim): the three components from slices.
Values cross(TorchOp &t) {
  Type elem = t.resultElem();
  Emitter &e = t.e;
  Shape shape(t.resultShape().begin(), t.resultShape().end());
  Value a = e.broadcastTo(t.value(0, elem), shape), b = e.broadcastTo(t.value(1, elem), shape);
  int64_t dim = normDim(t.size() > 2 ? t.i64(2) : -1, shape.size());
  if (shape[dim] != 3) unsupported("cross product along a dimension of size other than 3");
  auto c = [&](Value v, int64_t i) { return e.sliceDim(v, dim, i, 1); };
  Value x = e.sub(e.mul(c(a, 1), c(b, 2)), e.mul(c(a, 2), c(b, 1)));
  Value y = e.sub(e.mul(c(a, 2), c(b, 0)), e.mul(c(a, 0), c(b, 2)));
  Value z = e.sub(e.mul(c(a, 0), c(b, 1)), e.mul(c(a, 1), c(b, 0)));
  return {e.concat({x, y, z}, dim)};
}

/// Sum over the dimensions `sum` of x * y, both of rank R and of one element type, whose
/// dimensions are equal or 1 (broadcast); the result has rank R with the summed dimensions of size
/// 1. One batched MatMul: dimensions of both are batch dimensions (or contracted when summed), the
/// others belong to one side (a summed one is summed on that side first).
Value contract(Emitter &e, Value x, Value y, const llvm::SmallBitVector &sum) {
  int64_t rank = rankOf(x);
  Shape batch, xFree, yFree, inner, sizes(rank, 1);
  for (int64_t d = 0; d < rank; ++d) {
    int64_t a = shapeOf(x)[d], b = shapeOf(y)[d];
    if (a != b && a != 1 && b != 1) unsupported("operands that do not broadcast");
    // Sizes other than 1 (0 included) are the dimension's own; 1 is broadcast.
    if (sum[d]) {
      if (a != 1 && b != 1) {
        inner.push_back(d);
      } else if (a != 1) {
        x = e.reduce(x, {d}, true, "sum");
      } else if (b != 1) {
        y = e.reduce(y, {d}, true, "sum");
      }
      continue;
    }
    sizes[d] = a == 1 ? b : a;
    (a != 1 && b != 1 ? batch : b != 1 ? yFree : xFree).push_back(d);
  }
  auto size = [&](Value v, ArrayRef<int64_t> dims) {
    int64_t n = 1;
    for (int64_t d : dims) n *= shapeOf(v)[d];
    return n;
  };
  auto arranged = [&](Value v, ArrayRef<int64_t> a, ArrayRef<int64_t> b, ArrayRef<int64_t> c) {
    Shape perm(a.begin(), a.end()), rest;
    perm.append(b.begin(), b.end());
    perm.append(c.begin(), c.end());
    for (int64_t d = 0; d < rank; ++d)
      if (!llvm::is_contained(perm, d)) rest.push_back(d);  // size 1 on this side
    perm.append(rest.begin(), rest.end());
    return e.reshape(e.transpose(v, perm), {size(v, a), size(v, b), size(v, c)});
  };
  Value product = e.matmul(arranged(x, batch, xFree, inner), arranged(y, batch, inner, yFree),
                           false, false);
  // Back to the dimensions' own order.
  Shape order(batch.begin(), batch.end()), shape;
  order.append(xFree.begin(), xFree.end());
  order.append(yFree.begin(), yFree.end());
  for (int64_t d : order) shape.push_back(sizes[d]);
  Shape perm;
  for (int64_t d = 0; d < rank; ++d)
    if (llvm::is_contained(order, d)) perm.push_back(llvm::find(order, d) - order.begin());
  return e.reshape(e.transpose(e.reshape(product, shape), perm), sizes);
}

/// _trilinear(i1, i2, i3, expand1, expand2, expand3, sumdim, unroll_dim) (F.bilinear and its
/// gradients): each operand with size-1 dimensions inserted at its expand list, multiplied, summed
/// over sumdim. i1 and i2 are contracted first over the summed dimensions i3 lacks.
Values trilinear(TorchOp &t) {
  t.expectOperands(8);
  Type elem = t.resultElem();
  Values ops{t.value(0, elem), t.value(1, elem), t.value(2, elem)};
  int64_t rank = rankOf(ops[0]) + static_cast<int64_t>(t.ints(3).size());
  for (int i = 0; i < 3; ++i) {
    llvm::SmallBitVector expand(rank);
    for (int64_t d : normDims(t.ints(3 + i), rank)) expand.set(d);
    Shape shape;
    int64_t next = 0;
    for (int64_t d = 0; d < rank; ++d)
      shape.push_back(expand[d] ? 1 : next < rankOf(ops[i]) ? shapeOf(ops[i])[next++] : -1);
    if (next != rankOf(ops[i]) || llvm::is_contained(shape, -1))
      unsupported("expand lists that do not match the operands' ranks");
    ops[i] = t.e.reshape(ops[i], shape);
  }
  llvm::SmallBitVector sum(rank), early(rank);
  for (int64_t d : normDims(t.ints(6), rank)) {
    sum.set(d);
    if (shapeOf(ops[2])[d] == 1) early.set(d);
  }
  Value pair = contract(t.e, ops[0], ops[1], early);
  return {t.e.conform(contract(t.e, pair, ops[2], sum), t.resultType())};
}


// ------------------------------------------------------------------ factorisations and solves

void expectFactorisable(TorchOp &t, Value v, bool square = true) {
  Type elem = elemOf(v);
  if (!elem.isF32() && !elem.isF64())
    unsupported(t.kind + " of matrices that are not f32 or f64 (lumo factorises those only)");
  if (rankOf(v) < 2 || (square && shapeOf(v)[rankOf(v) - 1] != shapeOf(v)[rankOf(v) - 2]))
    unsupported(t.kind + " of a tensor that does not hold " + (square ? "square " : "") + "matrices");
}

/// The permutation that swaps the last two dimensions.
Shape swapLast(int64_t rank) {
  Shape perm = dimRange(0, rank);
  std::swap(perm[rank - 1], perm[rank - 2]);
  return perm;
}
Value transposeLast(Emitter &e, Value v) { return e.transpose(v, swapLast(rankOf(v))); }

/// v broadcast to the batch dimensions `batch`, keeping its last `keep` dimensions.
Value withBatch(Emitter &e, Value v, ArrayRef<int64_t> batch, int64_t keep) {
  Shape shape(batch.begin(), batch.end());
  shape.append(shapeOf(v).end() - keep, shapeOf(v).end());
  return shapeOf(v) == ArrayRef<int64_t>(shape) ? v : e.broadcastTo(v, shape);
}

/// The broadcast of the batch dimensions (all but the last `keep`) of two tensors.
Shape commonBatch(Value x, int64_t keepX, Value y, int64_t keepY) {
  return broadcastShapes(shapeOf(x).drop_back(keepX), shapeOf(y).drop_back(keepY));
}

/// The diagonals of matrices [..., m, n], as [..., min(m, n)].
Value diagonal(Emitter &e, Value m) {
  int64_t rank = rankOf(m), k = std::min(shapeOf(m)[rank - 2], shapeOf(m)[rank - 1]);
  m = e.sliceDim(e.sliceDim(m, rank - 2, 0, k), rank - 1, 0, k);
  Shape at(shapeOf(m).drop_back());
  at.push_back(1);
  Value picked = e.gather(m, e.positions(at, rank - 2), rank - 1, rank - 1);  // [..., n, 1]
  return e.reshape(picked, shapeOf(m).drop_back());
}

/// Identity matrices of `type` ([..., n, n]).
Value identity(Emitter &e, RankedTensorType type) {
  int64_t rank = type.getRank();
  Value eq = e.compare(e.positions(type.getShape(), rank - 2), e.positions(type.getShape(), rank - 1), "EQ");
  return e.cast(eq, type.getElementType());
}

/// LAPACK's `info` of a factorisation: 1 + the index of the first true flag along the last
/// dimension, 0 when none is.
Value firstFlag(Emitter &e, Value flags, RankedTensorType type) {
  int64_t last = rankOf(flags) - 1;
  if (shapeOf(flags)[last] == 0) return e.zeros(type);
  Value any = e.reduce(flags, {last}, false, "or");
  Value first = e.addScalar(e.reduce(e.cast(flags, type.getElementType()), {last}, false, "argmax"), 1);
  first = e.cast(first, type.getElementType());
  return e.conform(e.select(any, first, e.zeros(tensorOf({}, type.getElementType()))), type);
}

Value triangularSolve(Emitter &e, Value a, Value b, bool left, bool lower, bool unit,
                      StringRef transpose) {
  return e.op("lumo.TriangularSolve", {a, b}, b.getType(),
              {e.flag("left_side", left), e.flag("lower", lower), e.flag("unit_diagonal", unit),
               e.str("transpose_a", transpose)});
}

/// An LU factorisation: `lu` (L below the diagonal, U on and above it), and the rows' order,
/// `a[permutation[i]] = (L U)[i]`.
struct Lu {
  Value lu, pivots, permutation;
};

Lu factorise(Emitter &e, Value a) {
  Type si32 = IntegerType::get(e.ctx(), 32, IntegerType::Signed);
  int64_t rank = rankOf(a);
  Shape order(shapeOf(a).drop_back()), pivots(order);
  pivots.back() = std::min(shapeOf(a)[rank - 2], shapeOf(a)[rank - 1]);
  Operation *op = e.create("lumo.Lu", {a}, {a.getType(), tensorOf(pivots, si32), tensorOf(order, si32)});
  return {op->getResult(0), op->getResult(1), op->getResult(2)};
}

/// PyTorch's pivots (LAPACK's, counted from 1) of a factorisation.
Value torchPivots(Emitter &e, const Lu &f) { return e.addScalar(f.pivots, 1); }

/// The order of `rows` rows that PyTorch's pivots (counted from 1) give: the swaps applied in
/// order. Pivots that come from a lumo.Lu of this program give its permutation directly.
Value permutationOf(Emitter &e, Value pivots, int64_t rows) {
  if (Operation *add = pivots.getDefiningOp(); add && add->getName().getStringRef() == "lumo.Add")
    for (Value v : add->getOperands())
      if (auto lu = v.getDefiningOp<lumo::LuOp>(); lu && v == lu.getPivots() &&
          Emitter::splatValue(add->getOperand(v == add->getOperand(0) ? 1 : 0)) == 1.0)
        return lu.getPermutation();
  int64_t rank = rankOf(pivots), n = shapeOf(pivots).back();
  if (n > 256) unsupported("LU pivots of matrices larger than 256 that the program did not compute");
  Value from = e.addScalar(e.cast(pivots, si64Type(e.ctx())), -1);
  Shape shape(shapeOf(from).begin(), shapeOf(from).end());
  shape.back() = rows;
  Value positions = e.positions(shape, rank - 1);
  Value order = positions;
  for (int64_t i = 0; i < n; ++i) {
    Value p = e.sliceDim(from, rank - 1, i, 1);  // [..., 1]
    Value atP = e.gather(order, p, rank - 1, rank - 1), atI = e.sliceDim(order, rank - 1, i, 1);
    Value isI = e.compare(positions, e.indexScalar(i), "EQ"), isP = e.compare(positions, p, "EQ");
    order = e.select(isI, atP, e.select(isP, atI, order));
  }
  return order;
}

/// Solves op(A) X = B for the factorisation `lu`, `order` (rows' order) of A, op(A) being A or
/// its transpose; B is [..., n, k].
Value luSolve(Emitter &e, Value lu, Value order, Value b, bool adjoint) {
  Shape batch = broadcastShapes(commonBatch(lu, 2, order, 1), shapeOf(b).drop_back(2));
  lu = withBatch(e, lu, batch, 2);
  order = withBatch(e, order, batch, 1);
  b = withBatch(e, b, batch, 2);
  int64_t rank = rankOf(b);
  if (!adjoint) {  // L U X = P^T B
    Value y = triangularSolve(e, lu, e.gather(b, order, rank - 2, rank - 2), true, true, true, "NO_TRANSPOSE");
    return triangularSolve(e, lu, y, true, false, false, "NO_TRANSPOSE");
  }
  // U^T L^T (P^T X) = B
  Value y = triangularSolve(e, lu, b, true, false, false, "TRANSPOSE");
  y = triangularSolve(e, lu, y, true, true, true, "TRANSPOSE");
  // X[order[i]] = y[i]: the rows of y in the inverse order.
  Value inverse = e.scatter(e.zeros(tensorOf(shapeOf(order), si64Type(e.ctx()))), order,
                            e.positions(shapeOf(order), rank - 2), rank - 2, "none");
  return e.gather(y, inverse, rank - 2, rank - 2);
}

/// Cholesky factor; `info` as LAPACK's potrf (the first column where the kernel's factor is NaN).
Values cholesky(TorchOp &t) {
  Value a = t.tensor(0);
  expectFactorisable(t, a);
  bool upper = t.size() > 1 && t.flag(1);
  Value factor = t.e.op("lumo.Cholesky", {a}, a.getType(), {t.e.flag("lower", !upper)});
  Values out{t.e.conform(factor, t.resultType())};
  if (t.op->getNumResults() > 1)
    out.push_back(firstFlag(t.e, t.e.unary("isnan", diagonal(t.e, factor)), t.resultType(1)));
  return out;
}

/// Solves A X = B given the Cholesky factor of A (lower: A = L L^T, upper: A = U^T U).
Value choleskySolve(Emitter &e, Value factor, Value b, bool upper) {
  Shape batch = commonBatch(factor, 2, b, 2);
  factor = withBatch(e, factor, batch, 2);
  b = withBatch(e, b, batch, 2);
  Value y = triangularSolve(e, factor, b, true, !upper, false, upper ? "TRANSPOSE" : "NO_TRANSPOSE");
  return triangularSolve(e, factor, y, true, !upper, false, upper ? "NO_TRANSPOSE" : "TRANSPOSE");
}

/// cholesky_solve(B, factor, upper).
Values choleskySolvePattern(TorchOp &t) {
  Value b = t.tensor(0), factor = t.tensor(1);
  expectFactorisable(t, factor);
  return {t.e.conform(choleskySolve(t.e, factor, b, t.flag(2)), t.resultType())};
}

/// cholesky_inverse(factor, upper): the inverse of the matrix the factor factorises.
Values choleskyInverse(TorchOp &t) {
  Value factor = t.tensor(0);
  expectFactorisable(t, factor);
  Value eye = identity(t.e, typeOf(factor));
  return {t.e.conform(choleskySolve(t.e, factor, eye, t.flag(1)), t.resultType())};
}

/// linalg_solve_triangular(A, B, upper, left, unitriangular).
Values solveTriangular(TorchOp &t) {
  Value a = t.tensor(0), b = t.tensor(1);
  expectFactorisable(t, a);
  Shape batch = commonBatch(a, 2, b, 2);
  Value x = triangularSolve(t.e, withBatch(t.e, a, batch, 2), withBatch(t.e, b, batch, 2), t.flag(3),
                            !t.flag(2), t.flag(4), "NO_TRANSPOSE");
  return {t.e.conform(x, t.resultType())};
}

/// triangular_solve(B, A, upper, transpose, unitriangular) -> (X, A broadcast).
Values triangularSolvePattern(TorchOp &t) {
  Value b = t.tensor(0), a = t.tensor(1);
  expectFactorisable(t, a);
  Shape batch = commonBatch(a, 2, b, 2);
  a = withBatch(t.e, a, batch, 2);
  Value x = triangularSolve(t.e, a, withBatch(t.e, b, batch, 2), true, !t.flag(2), t.flag(4),
                            t.flag(3) ? "TRANSPOSE" : "NO_TRANSPOSE");
  return {t.e.conform(x, t.resultType(0)), t.e.conform(a, t.resultType(1))};
}

/// linalg_lu_factor_ex(A, pivot, check_errors) -> (LU, pivots, info).
Values luFactor(TorchOp &t) {
  Value a = t.tensor(0);
  expectFactorisable(t, a, false);
  if (!t.flag(1)) unsupported("LU without pivoting (lumo.Lu pivots as LAPACK's getrf)");
  Lu f = factorise(t.e, a);
  Value singular = t.e.compare(diagonal(t.e, f.lu), t.e.scalar(elemOf(a), 0), "EQ");
  return {f.lu, t.e.conform(torchPivots(t.e, f), t.resultType(1)),
          firstFlag(t.e, singular, t.resultType(2))};
}

/// linalg_lu_solve(LU, pivots, B, left, adjoint).
Values luSolvePattern(TorchOp &t) {
  Value lu = t.tensor(0), b = t.tensor(2);
  expectFactorisable(t, lu);
  Value order = permutationOf(t.e, t.tensor(1), shapeOf(lu).back());
  bool left = t.flag(3), adjoint = t.flag(4);
  Value x = left ? luSolve(t.e, lu, order, b, adjoint)
                 : transposeLast(t.e, luSolve(t.e, lu, order, transposeLast(t.e, b), !adjoint));
  return {t.e.conform(x, t.resultType())};
}


/// P, L and U of factorisations [..., m, n]: A = P L U, with P[j, i] = (j == order[i]), L the
/// first k = min(m, n) columns, U the first k rows.
Values unpack(TorchOp &t, Value lu, Value order, unsigned first) {
  Emitter &e = t.e;
  RankedTensorType type = typeOf(lu);
  Type elem = type.getElementType();
  int64_t rank = type.getRank(), m = type.getShape()[rank - 2], n = type.getShape()[rank - 1];
  int64_t k = std::min(m, n);
  Value rows = e.positions(type.getShape(), rank - 2), cols = e.positions(type.getShape(), rank - 1);
  Value eye = e.cast(e.compare(rows, cols, "EQ"), elem);
  Value l = e.select(e.compare(rows, cols, "GT"), lu, eye);
  Value u = e.select(e.compare(rows, cols, "LE"), lu, e.scalar(elem, 0));
  Shape square(shapeOf(order).begin(), shapeOf(order).end()), across(square);
  square.push_back(m);
  across.insert(across.end() - 1, 1);  // [..., 1, m]: order[i] along the columns
  Value p = e.cast(e.compare(e.positions(square, rank - 2), e.cast(e.reshape(order, across), si64Type(e.ctx())), "EQ"), elem);
  Values out;
  for (auto [i, v] : llvm::enumerate(Values{p, e.sliceDim(l, rank - 1, 0, k), e.sliceDim(u, rank - 2, 0, k)})) {
    RankedTensorType want = t.resultType(first + i);
    // Parts not asked for are empty.
    out.push_back(numElements(want.getShape()) == 0 ? e.zeros(want) : e.conform(v, want));
  }
  return out;
}

/// lu_unpack(LU, pivots, unpack_data, unpack_pivots) -> (P, L, U).
Values luUnpack(TorchOp &t) {
  Value lu = t.tensor(0);
  expectFactorisable(t, lu, false);
  return unpack(t, lu, permutationOf(t.e, t.tensor(1), shapeOf(lu)[rankOf(lu) - 2]), 0);
}

/// linalg_lu(A, pivot) -> (P, L, U).
Values linalgLu(TorchOp &t) {
  Value a = t.tensor(0);
  expectFactorisable(t, a, false);
  if (!t.flag(1)) unsupported("LU without pivoting (lumo.Lu pivots as LAPACK's getrf)");
  Lu f = factorise(t.e, a);
  return unpack(t, f.lu, f.permutation, 0);
}

// Eager PyTorch's determinants factorise a contiguous real A as A^T (LAPACK reads it as
// column-major without a copy): the LU and pivots they return are those of A^T, as every lazy
// tensor is contiguous. Solves factorise A itself.

/// _linalg_solve_ex(A, B, left, check_errors) -> (X, LU, pivots, info).
Values solve(TorchOp &t) {
  Emitter &e = t.e;
  Value a = t.tensor(0), b = t.tensor(1);
  expectFactorisable(t, a);
  bool left = t.flag(2);
  Lu f = factorise(e, a);
  bool vector = rankOf(b) == 1 || (rankOf(b) == rankOf(a) - 1 && shapeOf(b) == shapeOf(a).drop_back());
  if (vector) {
    Shape column(shapeOf(b).begin(), shapeOf(b).end());
    column.push_back(1);
    b = e.reshape(b, column);
  }
  // X A = B is A^T X^T = B^T.
  Value x = left ? luSolve(e, f.lu, f.permutation, b, false)
                 : transposeLast(e, luSolve(e, f.lu, f.permutation, transposeLast(e, b), true));
  Value singular = e.compare(diagonal(e, f.lu), e.scalar(elemOf(a), 0), "EQ");
  return {e.conform(x, t.resultType(0)), f.lu, e.conform(torchPivots(e, f), t.resultType(2)),
          firstFlag(e, singular, t.resultType(3))};
}

/// linalg_inv_ex(A, check_errors) -> (inverse, info): A X = I.
Values inverse(TorchOp &t) {
  Emitter &e = t.e;
  Value a = t.tensor(0);
  expectFactorisable(t, a);
  Lu f = factorise(e, a);
  Value x = luSolve(e, f.lu, f.permutation, identity(e, typeOf(a)), false);
  Value singular = e.compare(diagonal(e, f.lu), e.scalar(elemOf(a), 0), "EQ");
  return {e.conform(x, t.resultType(0)), firstFlag(e, singular, t.resultType(1))};
}

/// The determinant's sign from the row swaps: -1 for an odd number of them.
Value swapSign(Emitter &e, const Lu &f, Type elem) {
  int64_t last = rankOf(f.pivots) - 1;
  Value positions = e.cast(e.positions(shapeOf(f.pivots), last), elemOf(f.pivots));
  Value swapped = e.compare(f.pivots, positions, "NE");
  Value signs = e.select(swapped, e.scalar(elem, -1), e.scalar(elem, 1));
  return e.reduce(signs, {last}, false, "prod");
}

/// _linalg_det(A) -> (det, LU, pivots).
Values det(TorchOp &t) {
  Emitter &e = t.e;
  Value a = t.tensor(0);
  expectFactorisable(t, a);
  Lu f = factorise(e, transposeLast(e, a));
  Value d = diagonal(e, f.lu);
  Value value = e.mul(swapSign(e, f, elemOf(a)), e.reduce(d, {rankOf(d) - 1}, false, "prod"));
  return {e.conform(value, t.resultType(0)), f.lu, e.conform(torchPivots(e, f), t.resultType(2))};
}

/// _linalg_slogdet(A) -> (sign, logabsdet, LU, pivots).
Values slogdet(TorchOp &t) {
  Emitter &e = t.e;
  Value a = t.tensor(0);
  expectFactorisable(t, a);
  Lu f = factorise(e, transposeLast(e, a));
  Value d = diagonal(e, f.lu);
  int64_t last = rankOf(d) - 1;
  Value sign = e.mul(swapSign(e, f, elemOf(a)),
                     e.reduce(e.op("lumo.Sign", {d}, d.getType()), {last}, false, "prod"));
  Value logAbs = e.reduce(e.op("lumo.Log", {e.op("lumo.Abs", {d}, d.getType())}, d.getType()), {last},
                          false, "sum");
  return {e.conform(sign, t.resultType(0)), e.conform(logAbs, t.resultType(1)), f.lu,
          e.conform(torchPivots(e, f), t.resultType(3))};
}


// ------------------------------------------------------------------ SVD, QR and eigh
// lumo.Svd, lumo.Qr and lumo.Eigh compute what LAPACK's gesdd, geqrf/orgqr and syevd give (as
// eager PyTorch on a CPU), signs of the vectors included. What PyTorch builds on them (pseudo-
// inverses, ranks, least squares, Householder products) is composed here as PyTorch composes it.

/// The batch dimensions of `a` followed by `last`, of `elem`.
RankedTensorType batched(Value a, ArrayRef<int64_t> last, Type elem) {
  Shape shape(shapeOf(a).drop_back(2));
  shape.append(last.begin(), last.end());
  return tensorOf(shape, elem);
}

struct Svd {
  Value u, s, vh;
};

Svd svd(Emitter &e, Value a, bool full, bool valuesOnly) {
  Type elem = elemOf(a);
  int64_t rank = rankOf(a), m = shapeOf(a)[rank - 2], n = shapeOf(a)[rank - 1], k = std::min(m, n);
  RankedTensorType empty = tensorOf({0}, elem);
  Operation *op = e.create("lumo.Svd", {a},
                           {valuesOnly ? empty : batched(a, {m, full ? m : k}, elem), batched(a, {k}, elem),
                            valuesOnly ? empty : batched(a, {full ? n : k, n}, elem)},
                           {e.flag("full_matrices", full), e.flag("values_only", valuesOnly)});
  return {op->getResult(0), op->getResult(1), op->getResult(2)};
}

struct Eigh {
  Value values, vectors;
};

Eigh eigh(Emitter &e, Value a, bool lower, bool valuesOnly) {
  Type elem = elemOf(a);
  Operation *op = e.create("lumo.Eigh", {a},
                           {tensorOf(shapeOf(a).drop_back(), elem), valuesOnly ? tensorOf({0}, elem) : a.getType()},
                           {e.str("triangle", lower ? "lower" : "upper"), e.flag("values_only", valuesOnly)});
  return {op->getResult(0), op->getResult(1)};
}

struct Qr {
  Value q, r;
};

Qr qr(Emitter &e, Value a, bool complete) {
  Type elem = elemOf(a);
  int64_t rank = rankOf(a), m = shapeOf(a)[rank - 2], n = shapeOf(a)[rank - 1], k = std::min(m, n);
  Operation *op = e.create("lumo.Qr", {a},
                           {batched(a, {m, complete ? m : k}, elem), batched(a, {complete ? m : k, n}, elem)},
                           {e.str("mode", complete ? "complete" : "reduced")});
  return {op->getResult(0), op->getResult(1)};
}

/// _linalg_svd(A, full_matrices, compute_uv, driver) -> (U, S, Vh); U and Vh are empty without
/// compute_uv. Functionalized capture asks for the vectors where eager PyTorch's svdvals does not
/// (a functional tensor counts as a subclass): when the program uses neither U nor Vh, the values
/// are computed alone, as eager computes them (gesdd's values differ in the last bits with vectors).
Values svdPattern(TorchOp &t) {
  Value a = t.tensor(0);
  expectFactorisable(t, a, false);
  if (t.size() > 3 && !t.isNone(3))
    unsupported("an SVD driver (lumo.Svd is LAPACK's gesdd, as eager PyTorch on a CPU)");
  bool uv = t.flag(2) && (t.resultUsed(0) || t.resultUsed(2));
  Svd d = svd(t.e, a, uv && t.flag(1), !uv);
  if (!uv) return {t.e.zeros(t.resultType(0)), t.e.conform(d.s, t.resultType(1)), t.e.zeros(t.resultType(2))};
  return {t.e.conform(d.u, t.resultType(0)), t.e.conform(d.s, t.resultType(1)), t.e.conform(d.vh, t.resultType(2))};
}

/// Whether a UPLO argument names the lower triangle.
bool lowerTriangle(TorchOp &t, unsigned i) {
  std::string uplo = t.str(i);
  if (uplo != "L" && uplo != "l" && uplo != "U" && uplo != "u")
    unsupported("UPLO \"" + uplo + "\" (it is L or U)");
  return uplo == "L" || uplo == "l";
}

/// _linalg_eigh(A, UPLO, compute_v) -> (eigenvalues, eigenvectors); eigenvectors empty without
/// compute_v, or when the program does not use them (as for _linalg_svd).
Values eighPattern(TorchOp &t) {
  Value a = t.tensor(0);
  expectFactorisable(t, a);
  bool vectors = t.flag(2) && t.resultUsed(1);
  Eigh d = eigh(t.e, a, lowerTriangle(t, 1), !vectors);
  return {t.e.conform(d.values, t.resultType(0)),
          vectors ? t.e.conform(d.vectors, t.resultType(1)) : t.e.zeros(t.resultType(1))};
}

/// linalg_qr(A, mode) -> (Q, R); mode "r" leaves Q empty.
Values qrPattern(TorchOp &t) {
  Value a = t.tensor(0);
  expectFactorisable(t, a, false);
  std::string mode = t.size() > 1 ? t.str(1) : "reduced";
  if (mode != "reduced" && mode != "complete" && mode != "r")
    unsupported("QR mode \"" + mode + "\" (it is reduced, complete or r)");
  Qr d = qr(t.e, a, mode == "complete");
  if (mode == "r") return {t.e.zeros(t.resultType(0)), t.e.conform(d.r, t.resultType(1))};
  return {t.e.conform(d.q, t.resultType(0)), t.e.conform(d.r, t.resultType(1))};
}

/// linalg_pinv(A, atol, rtol, hermitian), with tensor or float tolerances: A^+ = V diag(1/s) U^T
/// over the singular values s (absolute eigenvalues when hermitian) above
/// max(atol, rtol * max(s)), compared in f64 as eager PyTorch does; rtol defaults to
/// eps * max(m, n), or 0 where atol is given and positive.
Values pinv(TorchOp &t) {
  Emitter &e = t.e;
  Value a = t.tensor(0);
  expectFactorisable(t, a, false);
  RankedTensorType result = t.resultType();
  if (numElements(shapeOf(a)) == 0) return {e.zeros(result)};
  Type elem = elemOf(a), f64 = Float64Type::get(e.ctx());
  int64_t rank = rankOf(a), m = shapeOf(a)[rank - 2], n = shapeOf(a)[rank - 1];
  bool tensors = t.kind.endswith("_tensor");
  // The tolerances with a trailing dimension of 1 (PyTorch's unsqueeze(-1)).
  auto tolerance = [&](unsigned i) -> Value {
    if (t.isNone(i)) return {};
    Value v = tensors ? e.cast(t.tensor(i), f64) : e.scalar(f64, t.f64(i));
    Shape shape(shapeOf(v).begin(), shapeOf(v).end());
    shape.push_back(1);
    return e.reshape(v, shape);
  };
  Value atol = tolerance(1), rtol = tolerance(2), zero = e.scalar(f64, 0);
  if (!rtol) {
    double eps = elem.isF32() ? std::numeric_limits<float>::epsilon() : std::numeric_limits<double>::epsilon();
    Value byDefault = e.splat(tensorOf({1}, f64), eps * static_cast<double>(std::max(m, n)));
    rtol = atol ? e.select(e.compare(atol, zero, "GT"), zero, byDefault) : byDefault;
  }
  if (!atol) atol = e.splat(tensorOf({1}, f64), 0);
  Value s, magnitude, largest, v, ut;
  int64_t last = rank - 2;  // of the singular values
  if (!t.flag(3)) {
    Svd d = svd(e, a, false, false);
    s = magnitude = d.s;
    largest = e.sliceDim(s, last, 0, 1);  // descending
    v = transposeLast(e, d.vh);
    ut = transposeLast(e, d.u);
  } else {
    Eigh d = eigh(e, a, true, false);
    s = d.values;
    magnitude = e.op("lumo.Abs", {s}, s.getType());
    largest = e.reduce(magnitude, {last}, true, "max");
    v = d.vectors;
    ut = transposeLast(e, d.vectors);
  }
  Value tol = e.binary("maximum", atol, e.mul(rtol, e.cast(largest, f64)));
  Value kept = e.compare(e.cast(magnitude, f64), tol, "GT");
  Value inverse = e.select(kept, e.div(e.scalar(elem, 1), s), e.scalar(elem, 0));
  Shape row(shapeOf(inverse).begin(), shapeOf(inverse).end());
  row.insert(row.end() - 1, 1);
  return {e.conform(product(e, e.mul(v, e.reshape(inverse, row)), ut), result)};
}


/// linalg_lstsq(A, B, rcond, driver) -> (solution, residuals, rank, singular_values), with the
/// results each driver gives (as eager PyTorch on a CPU, gelsy by default). gels assumes matrices
/// of full rank and solves through QR, as LAPACK does: R^-1 Q^T B for tall matrices (the squared
/// rows of Q^T B below n are the residuals), Q R^-T B from the QR of A^T for wide ones (the
/// solution of least norm). gelsy, gelsd and gelss give the solution of least norm over the
/// singular values above rcond * max(s) (rcond: eps * max(m, n) by default), and that count as
/// the rank; gelsd and gelss give the singular values too.
Values lstsq(TorchOp &t) {
  Emitter &e = t.e;
  Value a = t.tensor(0), b = t.tensor(1);
  expectFactorisable(t, a, false);
  std::string driver = t.isNone(3) ? "gelsy" : t.str(3);
  if (driver != "gels" && driver != "gelsy" && driver != "gelsd" && driver != "gelss")
    unsupported("lstsq driver \"" + driver + "\" (it is gels, gelsy, gelsd or gelss)");
  Type elem = elemOf(a);
  int64_t rank = rankOf(a), m = shapeOf(a)[rank - 2], n = shapeOf(a)[rank - 1];
  bool vector = rankOf(b) == 1 || (rankOf(b) == rank - 1 && shapeOf(b) == shapeOf(a).drop_back());
  if (vector) {
    Shape shape(shapeOf(b).begin(), shapeOf(b).end());
    shape.push_back(1);
    b = e.reshape(b, shape);
  }
  Shape batch = commonBatch(a, 2, b, 2);
  a = withBatch(e, a, batch, 2);
  b = withBatch(e, b, batch, 2);
  int64_t last = rankOf(b) - 2;
  bool tall = m > n;
  if (tall && (driver == "gelsd" || driver == "gelss") && t.resultUsed(1))
    unsupported("the residuals of lstsq's " + driver + " driver for a tall matrix (they exist only when "
                "its rank is full, which the data decides)");
  RankedTensorType residualType = t.resultType(1), rankType = t.resultType(2), valuesType = t.resultType(3);
  if (m == 0 || n == 0) {
    Value residuals = numElements(residualType.getShape()) ? e.reduce(e.mul(b, b), {last}, false, "sum") : Value();
    return {e.zeros(t.resultType(0)), residuals ? e.conform(residuals, residualType) : e.zeros(residualType),
            e.zeros(rankType), e.zeros(valuesType)};
  }
  if (driver == "gels") {
    Value x, residuals;
    if (m >= n) {
      Qr d = qr(e, a, tall);
      Value c = product(e, transposeLast(e, d.q), b);  // [..., m, k]
      Value r = e.sliceDim(d.r, rank - 2, 0, n);
      x = triangularSolve(e, r, e.sliceDim(c, last, 0, n), true, false, false, "NO_TRANSPOSE");
      if (tall) {
        Value rest = e.sliceDim(c, last, n, m - n);
        residuals = e.reduce(e.mul(rest, rest), {last}, false, "sum");
      }
    } else {
      Qr d = qr(e, transposeLast(e, a), false);  // A^T = Q R: Q [..., n, m], R [..., m, m]
      x = product(e, d.q, triangularSolve(e, d.r, b, true, false, false, "TRANSPOSE"));
    }
    return {e.conform(x, t.resultType(0)), residuals ? e.conform(residuals, residualType) : e.zeros(residualType),
            e.zeros(rankType), e.zeros(valuesType)};
  }
  double eps = elem.isF32() ? std::numeric_limits<float>::epsilon() : std::numeric_limits<double>::epsilon();
  std::optional<double> given = t.isNone(2) ? std::nullopt : std::optional<double>(t.f64(2));
  double rcond = given && *given >= 0 ? *given : eps * static_cast<double>(std::max(m, n));
  Svd d = svd(e, a, false, false);
  Value largest = e.sliceDim(d.s, last, 0, 1);  // descending
  Value kept = e.compare(d.s, e.mul(largest, e.scalar(elem, rcond)), "GT");
  Value inverse = e.select(kept, e.div(e.scalar(elem, 1), d.s), e.scalar(elem, 0));
  Shape column(shapeOf(inverse).begin(), shapeOf(inverse).end());
  column.push_back(1);
  Value x = product(e, transposeLast(e, d.vh), e.mul(e.reshape(inverse, column), product(e, transposeLast(e, d.u), b)));
  Value count = e.reduce(e.cast(kept, si64Type(e.ctx())), {last}, false, "sum");
  bool values = driver != "gelsy";
  // (Unused residuals of gelsd and gelss for a tall matrix: zeros of the shape they have at full rank.)
  return {e.conform(x, t.resultType(0)), e.zeros(residualType), e.conform(count, rankType),
          values ? e.conform(d.s, valuesType) : e.zeros(valuesType)};
}

/// linalg_eig(A) -> (eigenvalues, eigenvectors) and _linalg_eigvals(A): lumo.Eig, the values
/// alone when the program does not use the vectors (as eager's eigvals).
Values eig(TorchOp &t) {
  Emitter &e = t.e;
  Value a = t.tensor(0);
  expectFactorisable(t, a);
  bool vectors = t.op->getNumResults() > 1 && t.resultUsed(1);
  Type elem = ComplexType::get(elemOf(a));
  Operation *op = e.create("lumo.Eig", {a},
                           {tensorOf(shapeOf(a).drop_back(), elem), vectors ? tensorOf(shapeOf(a), elem) : tensorOf({0}, elem)},
                           {e.flag("values_only", !vectors)});
  Values results = {e.conform(op->getResult(0), t.resultType(0))};
  if (t.op->getNumResults() > 1)
    results.push_back(vectors ? e.conform(op->getResult(1), t.resultType(1)) : e.zeros(t.resultType(1)));
  return results;
}

/// The Householder vectors of QR's compact form `a` ([..., m, n]): column i holds 0 above row i,
/// 1 on it, and a's column below it; the first `k` columns.
Value reflectors(Emitter &e, Value a, int64_t k) {
  RankedTensorType type = typeOf(a);
  int64_t rank = type.getRank();
  if (k > 256) unsupported("more than 256 Householder reflectors");
  Value rows = e.positions(type.getShape(), rank - 2), cols = e.positions(type.getShape(), rank - 1);
  Value unit = e.cast(e.compare(rows, cols, "EQ"), type.getElementType());
  return e.sliceDim(e.select(e.compare(rows, cols, "GT"), a, unit), rank - 1, 0, k);
}

/// x with the reflector H_i = I - tau_i v_i v_i^T (column i of `v`) applied from the left (H_i x)
/// or the right (x H_i).
Value reflect(Emitter &e, Value x, Value v, Value tau, int64_t i, bool left) {
  int64_t rank = rankOf(v);
  Value vi = e.sliceDim(v, rank - 1, i, 1);  // [..., m, 1]
  Shape at(shapeOf(tau).begin(), shapeOf(tau).end());
  at.back() = 1;
  at.push_back(1);
  Value ti = e.reshape(e.sliceDim(tau, rank - 2, i, 1), at);  // [..., 1, 1]
  Value update = left ? product(e, vi, product(e, transposeLast(e, vi), x))
                      : product(e, product(e, x, vi), transposeLast(e, vi));
  return e.sub(x, e.mul(ti, update));
}

/// linalg_householder_product(A, tau): the first n columns of H_1 ... H_k.
Values householderProduct(TorchOp &t) {
  Emitter &e = t.e;
  Value a = t.tensor(0), tau = t.tensor(1);
  expectFactorisable(t, a, false);
  int64_t rank = rankOf(a), k = shapeOf(tau).back();
  Shape batch = commonBatch(a, 2, tau, 1);
  a = withBatch(e, a, batch, 2);
  tau = withBatch(e, tau, batch, 1);
  Value v = reflectors(e, a, k);
  RankedTensorType type = typeOf(a);
  Value x = e.cast(e.compare(e.positions(type.getShape(), rank - 2), e.positions(type.getShape(), rank - 1), "EQ"),
                   type.getElementType());
  for (int64_t i = k - 1; i >= 0; --i) x = reflect(e, x, v, tau, i, true);
  return {e.conform(x, t.resultType())};
}

/// ormqr(A, tau, C, left, transpose): C multiplied by Q = H_1 ... H_k (or Q^T) from the left or
/// the right.
Values ormqr(TorchOp &t) {
  Emitter &e = t.e;
  Value a = t.tensor(0), tau = t.tensor(1), c = t.tensor(2);
  expectFactorisable(t, a, false);
  bool left = t.flag(3), transposed = t.flag(4);
  int64_t k = shapeOf(tau).back();
  Shape batch = broadcastShapes(commonBatch(a, 2, tau, 1), shapeOf(c).drop_back(2));
  a = withBatch(e, a, batch, 2);
  tau = withBatch(e, tau, batch, 1);
  Value x = withBatch(e, c, batch, 2);
  Value v = reflectors(e, a, k);
  // Q C = H_1 (... (H_k C)), Q^T C = H_k (... (H_1 C)); C Q = ((C H_1) ...) H_k, C Q^T the reverse.
  bool descending = left != transposed;
  for (int64_t j = 0; j < k; ++j) x = reflect(e, x, v, tau, descending ? k - 1 - j : j, left);
  return {e.conform(x, t.resultType())};
}

}  // namespace

void addLinalgPatterns(PatternTable &t) {
  t.add("aten._trilinear", trilinear);
  t.add({"aten.mm", "aten.bmm"}, mm);
  t.add({"aten.addmm", "aten.baddbmm"}, addmm);
  t.add("aten.addbmm", addbmm);
  t.add({"aten.matmul", "aten.mv"}, matmul);
  t.add("aten.addmv", addmv);
  t.add("aten.addr", addr);
  t.add({"aten.dot", "aten.vdot"}, dot);
  t.add("aten.linear", linear);
  t.add("aten.linalg_cross", cross);
  t.add({"aten.linalg_cholesky_ex", "aten.cholesky"}, cholesky);
  t.add("aten.cholesky_solve", choleskySolvePattern);
  t.add("aten.cholesky_inverse", choleskyInverse);
  t.add("aten.linalg_solve_triangular", solveTriangular);
  t.add("aten.triangular_solve", triangularSolvePattern);
  t.add("aten.linalg_lu_factor_ex", luFactor);
  t.add("aten.linalg_lu_solve", luSolvePattern);
  t.add("aten.lu_unpack", luUnpack);
  t.add("aten.linalg_lu", linalgLu);
  t.add("aten._linalg_solve_ex", solve);
  t.add("aten.linalg_inv_ex", inverse);
  t.add("aten._linalg_det", det);
  t.add("aten._linalg_slogdet", slogdet);
  t.add("aten._linalg_svd", svdPattern);
  t.add("aten._linalg_eigh", eighPattern);
  t.add("aten.linalg_qr", qrPattern);
  t.add({"aten.linalg_pinv.atol_rtol_tensor", "aten.linalg_pinv.atol_rtol_float"}, pinv);
  t.add("aten.linalg_householder_product", householderProduct);
  t.add("aten.ormqr", ormqr);
  t.add("aten.linalg_lstsq", lstsq);
  t.add({"aten.linalg_eig", "aten._linalg_eigvals"}, eig);
}

}  // namespace torch_lumo

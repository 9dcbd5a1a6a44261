// Matrix products. Transposes of the last two dimensions that feed a product become the product's
// transpose flags, so they are never materialised.
#include "TorchToLumo.h"

#include "llvm/ADT/SmallBitVector.h"

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

/// addbmm(self, b1, b2, beta, alpha): the batch of products summed.
Values addbmm(TorchOp &t) {
  t.expectOperands(5);
  Type elem = t.resultElem();
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
    if (sum[d]) {
      if (a > 1 && b > 1) {
        inner.push_back(d);
      } else if (a > 1) {
        x = e.reduce(x, {d}, true, "sum");
      } else if (b > 1) {
        y = e.reduce(y, {d}, true, "sum");
      }
      continue;
    }
    sizes[d] = std::max(a, b);
    (a > 1 && b > 1 ? batch : b > 1 ? yFree : xFree).push_back(d);
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
}

}  // namespace torch_lumo

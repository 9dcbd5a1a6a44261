// Reductions, scans, softmax and the cross-entropy operations, bias addition.
#include "Kernel.h"

#include <limits>

namespace lumo {
namespace {

Shape dims(const OpView &op, llvm::StringRef name, int64_t rank) {
  Shape ds = op.intsAttr(name, {});
  for (int64_t &d : ds)
    d = op.dim(d, rank);
  return ds;
}

} // namespace

Kernel planReduce(OpView &op) {
  int64_t rank = op.operandRank(0);
  Shape ds = dims(op, "dimensions", rank);
  bool keep = op.boolAttr("keep_dims", false);
  std::string kind = op.enumAttr("reduce_kind", "");
  at::ScalarType type = op.resultType();

  if (kind == "argmax" || kind == "argmin") {
    if (ds.size() != 1)
      op.fail(kind + " reduces exactly one dimension");
    int64_t d = ds[0];
    bool max = kind == "argmax";
    bool isBool = op.operandType(0) == at::kBool; // ATen's argmax/argmin refuse bool
    return single([=](KernelContext &c) {
      at::Tensor x = isBool ? c.in(0).to(at::kByte) : c.in(0);
      at::Tensor r = max ? at::argmax(x, d, keep) : at::argmin(x, d, keep);
      return r.to(type);
    });
  }
  using Fn = at::Tensor (*)(const at::Tensor &, at::IntArrayRef, bool, at::ScalarType);
  static const std::pair<const char *, Fn> kinds[] = {
      {"sum", [](const at::Tensor &x, at::IntArrayRef d, bool k, at::ScalarType t) { return at::sum(x, d, k, t); }},
      {"mean", [](const at::Tensor &x, at::IntArrayRef d, bool k, at::ScalarType t) { return at::mean(x, d, k, t); }},
      {"max", [](const at::Tensor &x, at::IntArrayRef d, bool k, at::ScalarType) { return at::amax(x, d, k); }},
      {"min", [](const at::Tensor &x, at::IntArrayRef d, bool k, at::ScalarType) { return at::amin(x, d, k); }},
      {"and", [](const at::Tensor &x, at::IntArrayRef d, bool k, at::ScalarType t) { return at::all(x, d, k).to(t); }},
      {"or", [](const at::Tensor &x, at::IntArrayRef d, bool k, at::ScalarType t) { return at::any(x, d, k).to(t); }},
      {"prod",
       [](const at::Tensor &x, at::IntArrayRef d, bool k, at::ScalarType t) {
         // ATen's prod takes one dimension at a time: from the last one, keeping them.
         Shape sorted(d.begin(), d.end());
         std::sort(sorted.rbegin(), sorted.rend());
         at::Tensor r = x;
         for (int64_t dim : sorted)
           r = at::prod(r, dim, true, t);
         return k ? r : r.squeeze(d);
       }},
  };
  Fn fn = lookup(op, "reduce_kind", kinds);
  if (ds.empty()) // no dimension reduced; ATen would take an empty list as "all"
    return single([type, truth = kind == "and" || kind == "or"](KernelContext &c) {
      return truth ? c.in(0).ne(0).to(type) : c.in(0).to(type);
    });
  return single([fn, ds, keep, type](KernelContext &c) { return fn(c.in(0), ds, keep, type); });
}

Kernel planL2Norm(OpView &op) {
  Shape ds = dims(op, "dims", op.operandRank(0));
  bool keep = op.boolAttr("keepdim", false);
  return single([ds, keep](KernelContext &c) {
    return at::linalg_vector_norm(c.in(0), 2, ds.empty() ? at::OptionalIntArrayRef() : at::OptionalIntArrayRef(ds),
                                  keep);
  });
}

namespace {

// TensorFlow's Cumsum/Cumprod: `identity` is what an exclusive scan starts with.
template <typename Scan> Kernel scan(const OpView &op, Scan scanFn, double identity) {
  int64_t rank = op.operandRank(0);
  int64_t axis = rank ? op.dim(op.intAttr("axis", 0), rank) : 0;
  bool exclusive = op.boolAttr("exclusive", false), reverse = op.boolAttr("reverse", false);
  at::ScalarType type = op.resultType();
  return single([=](KernelContext &c) {
    at::Tensor x = rank ? c.in(0) : c.in(0).reshape({1});
    if (reverse)
      x = x.flip(axis);
    at::Tensor r = scanFn(x, axis, type);
    int64_t n = x.size(axis);
    if (exclusive && n > 0) {
      at::Tensor first = at::full_like(r.narrow(axis, 0, 1), identity);
      r = at::cat({first, r.narrow(axis, 0, n - 1)}, axis);
    }
    if (reverse)
      r = r.flip(axis);
    return rank ? r : r.reshape({});
  });
}

} // namespace

Kernel planCumSum(OpView &op) {
  return scan(op, [](const at::Tensor &x, int64_t d, at::ScalarType t) { return at::cumsum(x, d, t); }, 0);
}

Kernel planCumProd(OpView &op) {
  return scan(op, [](const at::Tensor &x, int64_t d, at::ScalarType t) { return at::cumprod(x, d, t); }, 1);
}

Kernel planCumLogSumExp(OpView &op) {
  return scan(
      op, [](const at::Tensor &x, int64_t d, at::ScalarType) { return at::logcumsumexp(x, d); },
      -std::numeric_limits<double>::infinity());
}

Kernel planSoftmax(OpView &op) {
  int64_t rank = op.operandRank(0);
  int64_t axis = rank ? op.dim(op.intAttr("axis", -1), rank) : 0; // ATen takes a 0-d tensor as one line
  return single([axis](KernelContext &c) { return at::_softmax(c.in(0), axis, false); });
}

Kernel planSoftmaxCrossEntropyWithLogits(OpView &op) {
  int64_t axis = op.dim(op.intAttr("axis", -1), op.operandRank(0));
  return [axis](KernelContext &c) {
    const at::Tensor &features = c.in(0), &labels = c.in(1);
    at::Tensor logp = at::_log_softmax(features, axis, false);
    c.out(0, at::neg(at::sum(at::mul(labels, logp), axis)));
    c.out(1, at::sub(at::_softmax(features, axis, false), labels));
  };
}

Kernel planSparseSoftmaxCrossEntropyWithLogits(OpView &op) {
  int64_t axis = op.dim(op.intAttr("axis", -1), op.operandRank(0));
  int64_t classes = op.operandShape(0)[axis];
  return [axis, classes](KernelContext &c) {
    const at::Tensor &features = c.in(0);
    at::Tensor labels = c.in(1).to(at::kLong).unsqueeze(axis);
    TORCH_CHECK(!(labels.lt(0) | labels.ge(classes)).any().item<bool>(), "a label is outside [0, ", classes, ")");
    at::Tensor logp = at::_log_softmax(features, axis, false);
    c.out(0, at::neg(logp.gather(axis, labels)).squeeze(axis));
    at::Tensor p = at::_softmax(features, axis, false);
    c.out(1, p.scatter(axis, labels, p.gather(axis, labels).sub(1)));
  };
}

Kernel planBiasAdd(OpView &op) {
  int64_t rank = op.operandRank(0);
  int64_t dim = op.dim(op.intAttr("dim", -1), rank);
  Shape view(rank, 1);
  view[dim] = op.operandShape(0)[dim];
  return single([view](KernelContext &c) { return at::add(c.in(0), c.in(1).reshape(view)); });
}

Kernel planBiasAddGrad(OpView &op) {
  int64_t rank = op.operandRank(0);
  int64_t dim = op.dim(op.intAttr("dim", -1), rank);
  Shape others;
  for (int64_t d = 0; d < rank; ++d)
    if (d != dim)
      others.push_back(d);
  if (others.empty())
    return single([](KernelContext &c) { return c.in(0); });
  return single([others](KernelContext &c) { return at::sum(c.in(0), others); });
}

} // namespace lumo

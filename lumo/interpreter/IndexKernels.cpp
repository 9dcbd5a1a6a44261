// Gathers, scatters and operations that select elements by index or rank.
#include "Kernel.h"

namespace lumo {
namespace {

int64_t product(const Shape &s, size_t from, size_t to) {
  int64_t p = 1;
  for (size_t i = from; i < to; ++i)
    p *= s[i];
  return p;
}

// Row-major positions of index vectors (the last dimension of `indices`) into dimensions `dims`;
// an index outside its dimension is an error.
at::Tensor linearIndex(const at::Tensor &indices, const Shape &dims) {
  at::Tensor idx = indices.to(at::kLong);
  at::Tensor sizes = at::tensor(dims, at::kLong);
  TORCH_CHECK(!(idx.lt(0) | idx.ge(sizes)).any().item<bool>(), "an index is out of range for the dimensions ",
              shapeText(dims));
  Shape strides(dims.size(), 1);
  for (size_t k = dims.size(); k-- > 1;)
    strides[k - 1] = strides[k] * dims[k];
  return idx.mul(at::tensor(strides, at::kLong)).sum(-1);
}

} // namespace

Kernel planGather(OpView &op) {
  Shape in = op.operandShape(0), idx = op.operandShape(1), out = op.resultShape();
  int64_t axis = op.dim(op.intAttr("axis", 0), static_cast<int64_t>(in.size()));
  int64_t batch = op.intAttr("batch_dims", 0);
  if (batch < 0)
    batch += static_cast<int64_t>(idx.size());
  if (batch < 0 || batch > axis || batch > static_cast<int64_t>(idx.size()))
    op.fail("batch_dims must lie in [0, axis] and within the indices' rank");
  if (batch == 0) // an embedding lookup
    return single([axis, out](KernelContext &c) {
      return c.in(0).index_select(axis, c.in(1).reshape(-1)).reshape(out);
    });
  // Batch, leading, gathered and trailing dimensions of the input; the indices per batch.
  int64_t b = product(in, 0, batch), pre = product(in, batch, axis), a = in[axis];
  int64_t post = product(in, axis + 1, in.size()), n = product(idx, batch, idx.size());
  return single([=](KernelContext &c) {
    at::Tensor index = c.in(1).to(at::kLong).reshape({b, 1, n, 1}).expand({b, pre, n, post});
    return c.in(0).reshape({b, pre, a, post}).gather(2, index).reshape(out);
  });
}

Kernel planGatherNd(OpView &op) {
  Shape in = op.operandShape(0), idx = op.operandShape(1), out = op.resultShape();
  size_t batch = op.intAttr("start_dim", 0);
  if (idx.empty() || batch > in.size() || batch + idx.back() > in.size() || batch >= idx.size())
    op.fail("the index vectors do not fit the input's dimensions");
  size_t k = idx.back();
  Shape dims(in.begin() + batch, in.begin() + batch + k);
  int64_t b = product(in, 0, batch), m = product(idx, batch, idx.size() - 1);
  int64_t gathered = product(dims, 0, k), rest = product(in, batch + k, in.size());
  return single([=](KernelContext &c) {
    at::Tensor lin = linearIndex(c.in(1), dims).reshape({b, m, 1}).expand({b, m, rest});
    return c.in(0).reshape({b, gathered, rest}).gather(1, lin).reshape(out);
  });
}

Kernel planScatterNd(OpView &op) {
  Shape idx = op.operandShape(0), out = op.resultShape();
  if (idx.empty() || idx.back() > static_cast<int64_t>(out.size()))
    op.fail("the index vectors do not fit the result's dimensions");
  size_t k = idx.back();
  Shape dims(out.begin(), out.begin() + k);
  int64_t rows = product(out, 0, k), rest = product(out, k, out.size());
  return single([=](KernelContext &c) {
    at::Tensor lin = linearIndex(c.in(0), dims).reshape(-1);
    at::Tensor result = at::zeros({rows, rest}, c.in(1).options());
    result.index_add_(0, lin, c.in(1).reshape({-1, rest}));
    return result.reshape(out);
  });
}

Kernel planScatter(OpView &op) {
  int64_t axis = op.dim(op.intAttr("axis", 0), op.operandRank(0));
  std::string kind = op.enumAttr("reduce_kind", "none");
  if (kind == "none")
    return single([axis](KernelContext &c) { return at::scatter(c.in(0), axis, c.in(1).to(at::kLong), c.in(2)); });
  if (kind == "add")
    return single([axis](KernelContext &c) { return at::scatter_add(c.in(0), axis, c.in(1).to(at::kLong), c.in(2)); });
  if (kind == "add_sequential")
    return single([axis](KernelContext &c) {
      // index_put_ with accumulate adds the updates one at a time in row-major order (rounding each
      // sum to the element type), at the coordinates of each update with `indices` along axis.
      at::Tensor out = c.in(0).clone(), idx = c.in(1).to(at::kLong), upd = c.in(2);
      TORCH_CHECK(idx.numel() == 0 || (idx.min().item<int64_t>() >= 0 && idx.max().item<int64_t>() < out.size(axis)),
                  "Scatter: an index is out of range [0, ", out.size(axis), ")");
      c10::List<std::optional<at::Tensor>> at;
      for (int64_t d = 0; d < upd.dim(); ++d) {
        std::vector<int64_t> shape(upd.dim(), 1);
        shape[d] = -1;
        at.push_back(d == axis ? idx : at::arange(upd.size(d), idx.options()).view(shape));
      }
      out.index_put_(at, upd, /*accumulate=*/true);
      return out;
    });
  std::string reduce = kind == "mul" ? "prod" : kind == "max" ? "amax" : kind == "min" ? "amin" : "";
  if (reduce.empty())
    op.fail("unknown reduce_kind \"" + kind + "\"");
  return single([axis, reduce](KernelContext &c) {
    return at::scatter_reduce(c.in(0), axis, c.in(1).to(at::kLong), c.in(2), reduce, true);
  });
}

Kernel planOneHot(OpView &op) {
  Shape out = op.resultShape();
  auto axisValue = op.constantOperand(4);
  if (!axisValue)
    op.fail("axis must be a constant");
  int64_t axis = op.dim(readInt(*axisValue), static_cast<int64_t>(out.size()));
  int64_t depth = out[axis];
  Shape positions(out.size(), 1);
  positions[axis] = depth;
  return single([=](KernelContext &c) {
    TORCH_CHECK(readInt(c.in(1)) == depth, "num_class is ", readInt(c.in(1)), ", the result type says ", depth);
    at::Tensor hot = c.in(0).to(at::kLong).unsqueeze(axis).eq(at::arange(depth, at::kLong).reshape(positions));
    return at::where(hot, c.in(2), c.in(3));
  });
}

Kernel planTopK(OpView &op) {
  int64_t k = op.intAttr("k", 0);
  int64_t dim = op.dim(op.intAttr("dimension", -1), op.operandRank(0));
  bool largest = op.boolAttr("largest", true), sorted = op.boolAttr("sorted", true);
  bool stable = op.boolAttr("stable", false);
  at::ScalarType indexType = op.resultType(1);
  // A whole sorted row in no particular order among ties: ATen's own sort, whose order is the one
  // eager PyTorch gives.
  if (!stable && sorted && k == op.operandShape(0)[dim])
    return [=](KernelContext &c) {
      auto [values, indices] = at::sort(c.in(0), /*stable=*/false, dim, /*descending=*/largest);
      c.out(0, values.contiguous());
      c.out(1, indices.to(indexType).contiguous());
    };
  // ATen's topk has no bool kernel and no stable order: a stable sort, cut to k, gives both.
  if (stable || op.operandType(0) == at::kBool)
    return [=](KernelContext &c) {
      auto [values, indices] = at::sort(c.in(0), /*stable=*/true, dim, /*descending=*/largest);
      c.out(0, values.narrow(dim, 0, k).contiguous());
      c.out(1, indices.narrow(dim, 0, k).to(indexType).contiguous());
    };
  return [=](KernelContext &c) {
    auto [values, indices] = at::topk(c.in(0), k, dim, largest, sorted);
    c.out(0, values);
    c.out(1, indices.to(indexType));
  };
}

Kernel planMaskFromTopK(OpView &op) {
  int64_t dim = op.dim(op.intAttr("dimension", -1), op.operandRank(0));
  int64_t n = op.operandRank(0) ? op.operandShape(0)[dim] : 1;
  at::ScalarType type = op.resultType();
  return single([=](KernelContext &c) {
    int64_t k = std::clamp<int64_t>(readInt(c.in(1)), 0, n);
    at::Tensor top = std::get<1>(at::topk(c.in(0), k, dim));
    at::Tensor mask = at::zeros(c.in(0).sizes(), at::kBool).scatter(dim, top, true);
    return mask.to(type);
  });
}

Kernel planMatrixBandPart(OpView &op) {
  if (op.operandRank(0) < 2)
    op.fail("the input needs rank 2 or more");
  return single([](KernelContext &c) {
    int64_t lower = readInt(c.in(1)), upper = readInt(c.in(2));
    at::Tensor x = c.in(0);
    if (lower >= 0)
      x = at::triu(x, -lower);
    if (upper >= 0)
      x = at::tril(x, upper);
    return x;
  });
}

} // namespace lumo

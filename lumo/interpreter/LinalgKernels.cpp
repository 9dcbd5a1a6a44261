// Matrix factorisations and triangular solves, on the ATen (LAPACK) kernels eager PyTorch uses.
#include "Kernel.h"

namespace lumo {

Kernel planCholesky(OpView &op) {
  bool lower = op.boolAttr("lower", false);
  return single([lower](KernelContext &c) {
    auto [factor, info] = at::linalg_cholesky_ex(c.in(0), /*upper=*/!lower);
    if (!info.gt(0).any().item<bool>())
      return factor;
    // A matrix that is not positive definite: its columns (rows) from the failing one on are NaN.
    int64_t n = factor.size(-1);
    at::Tensor failed = (info - 1).to(at::kLong).unsqueeze(-1);  // [..., 1]
    at::Tensor from = at::where(info.gt(0).unsqueeze(-1), failed, n);
    at::Tensor mask = at::arange(n, at::kLong).ge(from).unsqueeze(lower ? -2 : -1);
    return factor.masked_fill(mask, std::numeric_limits<double>::quiet_NaN());
  });
}

Kernel planLu(OpView &op) {
  (void)op;
  return [](KernelContext &c) {
    auto [lu, pivots, info] = at::linalg_lu_factor_ex(c.in(0), /*pivot=*/true, /*check_errors=*/false);
    (void)info;
    // a = P L U: row i of P^T a is row permutation[i] of a.
    std::vector<int64_t> rows(lu.sizes().begin(), lu.sizes().end() - 1);
    at::Tensor order = at::arange(lu.size(-2), at::kInt).expand(rows).contiguous();  // no columns: no swaps
    if (lu.numel() > 0)
      order = std::get<0>(at::lu_unpack(lu, pivots, /*unpack_data=*/false)).argmax(-2).to(at::kInt);
    c.out(0, lu);
    c.out(1, (pivots - 1).to(at::kInt));
    c.out(2, order);
  };
}

Kernel planTriangularSolve(OpView &op) {
  bool left = op.boolAttr("left_side", false), lower = op.boolAttr("lower", false);
  bool unit = op.boolAttr("unit_diagonal", false);
  std::string transpose = op.enumAttr("transpose_a", "NO_TRANSPOSE");
  if (transpose != "NO_TRANSPOSE" && transpose != "TRANSPOSE" && transpose != "ADJOINT")
    op.fail("unknown transpose_a \"" + transpose + "\"");
  bool transposed = transpose != "NO_TRANSPOSE";  // the adjoint of a real matrix is its transpose
  return single([=](KernelContext &c) {
    at::Tensor a = lower ? c.in(0).tril() : c.in(0).triu();
    bool upper = !lower;
    if (transposed) {
      a = a.mT();
      upper = !upper;
    }
    return at::linalg_solve_triangular(a, c.in(1), upper, left, unit);
  });
}

Kernel planSvd(OpView &op) {
  bool full = op.boolAttr("full_matrices", false), valuesOnly = op.boolAttr("values_only", false);
  return [=](KernelContext &c) {
    if (valuesOnly) {
      at::Tensor s = at::linalg_svdvals(c.in(0));
      c.out(0, at::empty({0}, s.options()));
      c.out(1, s);
      c.out(2, at::empty({0}, s.options()));
      return;
    }
    auto [u, s, vh] = at::linalg_svd(c.in(0), full);
    c.out(0, u);
    c.out(1, s);
    c.out(2, vh);
  };
}

Kernel planQr(OpView &op) {
  std::string mode = op.enumAttr("mode", "reduced");
  if (mode != "reduced" && mode != "complete")
    op.fail("unknown mode \"" + mode + "\"");
  return [mode](KernelContext &c) {
    auto [q, r] = at::linalg_qr(c.in(0), mode);
    c.out(0, q);
    c.out(1, r);
  };
}

Kernel planEigh(OpView &op) {
  std::string triangle = op.enumAttr("triangle", "lower");
  if (triangle != "lower" && triangle != "upper")
    op.fail("unknown triangle \"" + triangle + "\"");
  std::string uplo = triangle == "lower" ? "L" : "U";
  bool valuesOnly = op.boolAttr("values_only", false);
  return [=](KernelContext &c) {
    if (valuesOnly) {
      at::Tensor w = at::linalg_eigvalsh(c.in(0), uplo);
      c.out(0, w);
      c.out(1, at::empty({0}, w.options()));
      return;
    }
    auto [w, v] = at::linalg_eigh(c.in(0), uplo);
    c.out(0, w);
    c.out(1, v);
  };
}

Kernel planEig(OpView &op) {
  bool valuesOnly = op.boolAttr("values_only", false);
  return [=](KernelContext &c) {
    if (valuesOnly) {
      at::Tensor w = at::linalg_eigvals(c.in(0));
      c.out(0, w);
      c.out(1, at::empty({0}, w.options()));
      return;
    }
    auto [w, v] = at::linalg_eig(c.in(0));
    c.out(0, w);
    c.out(1, v);
  };
}

} // namespace lumo

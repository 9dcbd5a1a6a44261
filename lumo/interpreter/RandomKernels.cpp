// Random operations. Their values depend only on the function's vx.seed, the operation's seed
// attributes and the number of the run, so a fresh plan of the same program repeats them.
#include "Kernel.h"

#include <ATen/CPUGeneratorImpl.h>

namespace lumo {
namespace {

uint64_t splitmix64(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// The generator of one operation in one run.
class Seeds {
public:
  Seeds(const OpView &op, std::initializer_list<int64_t> opSeeds) : base_(splitmix64(op.seed())) {
    for (int64_t s : opSeeds)
      base_ = splitmix64(base_ ^ static_cast<uint64_t>(s));
  }
  at::Generator generator(uint64_t run) const {
    return at::make_generator<at::CPUGeneratorImpl>(splitmix64(base_ ^ splitmix64(run)));
  }

private:
  uint64_t base_;
};

} // namespace

Kernel planRandomUniform(OpView &op) {
  Seeds seeds(op, {op.intAttr("global_seed", 0), op.intAttr("operational_seed", 0)});
  Shape shape = op.resultShape();
  at::ScalarType type = op.resultType();
  bool floating = at::isFloatingType(type);
  return single([=](KernelContext &c) {
    at::Generator gen = seeds.generator(c.runNumber());
    const at::Tensor &lo = c.in(0), &hi = c.in(1);
    if (floating) {
      at::Tensor u = at::empty(shape, type).uniform_(0, 1, gen);
      return at::add(at::mul(u, at::sub(hi, lo)), lo);
    }
    // The integers of [lo, hi): floor of a uniform position in double precision.
    at::Tensor u = at::empty(shape, at::kDouble).uniform_(0, 1, gen);
    at::Tensor low = lo.to(at::kDouble);
    return at::add(at::floor(at::mul(u, at::sub(hi.to(at::kDouble), low))), low).to(type);
  });
}

Kernel planRandomNormal(OpView &op) {
  Seeds seeds(op, {op.intAttr("seed", 0)});
  Shape shape = op.resultShape();
  at::ScalarType type = op.resultType();
  return single([=](KernelContext &c) {
    at::Generator gen = seeds.generator(c.runNumber());
    at::Tensor z = at::empty(shape, type).normal_(0, 1, gen);
    return at::add(at::mul(z, c.in(1)), c.in(0));
  });
}

Kernel planRandomMultinomial(OpView &op) {
  Seeds seeds(op, {op.intAttr("seed", 0)});
  int64_t samples = op.intAttr("num_samples", 1);
  bool replacement = op.boolAttr("replacement", false);
  return single([=](KernelContext &c) {
    return at::multinomial(c.in(0), samples, replacement, seeds.generator(c.runNumber()));
  });
}

} // namespace lumo

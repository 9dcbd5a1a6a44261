// Collectives. The interpreter runs one replica: an AllReduce goes to the run's collective
// function (Program::run, State::setCollective), which combines the value with the other replicas.
// Without one, only groups of a single replica can run (the operand is the result).
#include "Kernel.h"

#include "lumo/LumoOps.h"
#include "mlir/IR/BuiltinAttributes.h"

namespace lumo {

Kernel planAllReduce(OpView &op) {
  auto allReduce = llvm::cast<AllReduceOp>(op.op());
  std::string kind = stringifyAllReduceKind(allReduce.getKind()).str();
  // The verifier made sure of a 2-D i64 dense attribute with at least one replica per group.
  auto attr = allReduce.getReplicaGroups().cast<mlir::DenseIntElementsAttr>();
  int64_t groupSize = attr.getType().getShape()[1];
  std::vector<std::vector<int64_t>> groups;
  int64_t index = 0;
  for (int64_t id : attr.getValues<int64_t>()) {
    if (index++ % groupSize == 0)
      groups.emplace_back();
    groups.back().push_back(id);
  }
  int64_t channel = allReduce.getChannelIdAttr().getInt();
  return [kind, groups = std::move(groups), groupSize, channel](KernelContext &c) {
    const Collective *collective = c.collective();
    if (!collective) {
      if (groupSize != 1)
        throw std::runtime_error("channel " + std::to_string(channel) + " combines groups of " +
                                 std::to_string(groupSize) +
                                 " replicas, and the run has no collective function to reach the other replicas");
      c.out(c.in(0));
      return;
    }
    // The function gets a tensor of its own: the operand may be an argument or a constant of the plan.
    at::Tensor result = (*collective)(c.in(0).clone(at::MemoryFormat::Contiguous), kind, groups, channel);
    if (!result.defined())
      throw std::runtime_error("the collective function of channel " + std::to_string(channel) +
                               " returned no tensor");
    if (!result.device().is_cpu() || result.layout() != at::kStrided)
      throw std::runtime_error("the collective function of channel " + std::to_string(channel) +
                               " returned a tensor on " + result.device().str() + ", not a strided CPU tensor");
    c.out(std::move(result));
  };
}

} // namespace lumo

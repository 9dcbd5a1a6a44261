// Collectives: PyTorch's functional collectives as the lazy backend records them.
//
//   torch.operator "_c10d_functional.all_reduce"(%x, %reduce_op, %ranks)
//
// %reduce_op is a str constant ("sum", "avg", "product", "min", "max", "band", "bor", "bxor") and
// %ranks the list of the global ranks of the process group (the backend resolves the group's name
// when it records the call). It becomes lumo.AllReduce over one replica group, those ranks; "avg"
// is a sum divided by the group's size. Each collective of a function gets the next channel id (1,
// 2, ... in program order), so that the replicas can match the collectives they issue.
// `_c10d_functional.wait_tensor` is the identity: inside a program the value is there when it is
// read.
#include "TorchToLumo.h"

#include "llvm/ADT/DenseSet.h"

namespace torch_lumo {
namespace {

struct ReduceOp {
  const char *torch;
  const char *lumo;
  bool bitwise;
};
constexpr ReduceOp kReduceOps[] = {
    {"sum", "sum", false}, {"avg", "sum", false},  {"product", "prod", false}, {"min", "min", false},
    {"max", "max", false}, {"band", "and", true},  {"bor", "or", true},        {"bxor", "xor", true},
};

Values allReduce(TorchOp &t) {
  t.expectOperands(3);
  Value x = t.tensor(0);
  std::string name = t.str(1);
  const ReduceOp *reduce = nullptr;
  for (const ReduceOp &r : kReduceOps)
    if (name == r.torch) reduce = &r;
  if (!reduce) unsupported("Unrecognized reduce_op: " + name);
  Type elem = elemOf(x);
  if (reduce->bitwise && !isIntegerType(elem) && !isBoolType(elem))
    unsupported("\"" + name + "\" needs integer or bool elements");
  if (name == "avg" && !isFloatType(elem)) unsupported("\"avg\" needs floating-point elements");
  Shape ranks = t.ints(2);
  if (ranks.empty()) unsupported("the process group has no ranks");
  llvm::DenseSet<int64_t> seen;
  for (int64_t r : ranks) {
    if (r < 0) unsupported("rank " + llvm::Twine(r) + " of the process group is negative");
    if (!seen.insert(r).second) unsupported("rank " + llvm::Twine(r) + " appears twice in the process group");
  }
  if (t.resultType() != typeOf(x)) unsupported("the result type differs from the operand's");

  Emitter &e = t.e;
  auto groupsType = RankedTensorType::get({1, static_cast<int64_t>(ranks.size())}, e.b.getI64Type());
  Operation *op = e.create("lumo.AllReduce", {x}, {typeOf(x)},
                           {e.str("kind", reduce->lumo),
                            e.attr("replica_groups", DenseIntElementsAttr::get(groupsType, ArrayRef<int64_t>(ranks))),
                            e.i64("channel_id", t.state.nextChannel())});
  Value result = op->getResult(0);
  if (name == "avg") result = e.div(result, e.scalar(elem, static_cast<double>(ranks.size())));
  return {result};
}

Values waitTensor(TorchOp &t) {
  t.expectOperands(1);
  return {t.tensor(0)};
}

}  // namespace

void addCollectivePatterns(PatternTable &t) {
  t.add("_c10d_functional.all_reduce", allReduce);
  t.add("_c10d_functional.wait_tensor", waitTensor);
}

}  // namespace torch_lumo

// -convert-torch-to-lumo: every torch operation of a function is replaced by the lumo operations its
// pattern emits (see TorchToLumo.h). Operations are visited in order, so the operands of a pattern
// are already converted; constants, lists and scalar reads stay until no pattern reads them any
// more. A kind without a conversion is reported once, at its first location.
#include "Passes.h"
#include "TorchToLumo.h"

#include "lumo/LumoDialect.h"
#include "mlir/Pass/PassManager.h"
#include "mlir/Pass/PassRegistry.h"
#include "mlir/Transforms/Passes.h"
#include "llvm/ADT/MapVector.h"

#include <algorithm>

namespace torch_lumo {
namespace {

bool isRandom(Operation *op) {
  return op->getName().getStringRef().startswith("lumo.Random");
}

/// Removes unused torch operations and unused lumo operations without effects, last first.
void eraseDead(Block &block) {
  for (Operation &op : llvm::make_early_inc_range(llvm::reverse(block))) {
    if (!op.use_empty() || op.hasTrait<OpTrait::IsTerminator>()) continue;
    StringRef name = op.getName().getStringRef();
    if (name.startswith("torch.") || (name.startswith("lumo.") && !isRandom(&op))) op.erase();
  }
}

struct Failure {
  Location loc;
  std::string reason;
};

LogicalResult convertFunction(func::FuncOp func) {
  if (func.isExternal()) return success();
  FunctionState state(func);
  const PatternTable &table = patterns();
  llvm::MapVector<StringRef, Failure> failures;
  auto fail = [&](StringRef kind, Location loc, const std::string &reason) {
    failures.insert({kind, Failure{loc, reason}});
  };
  OpBuilder builder(func.getContext());

  for (Block &block : func.getBody()) {
    for (Operation &opRef : llvm::make_early_inc_range(block)) {
      Operation *op = &opRef;
      if (op->getName().getDialectNamespace() != "torch") continue;
      StringRef kind = torchKind(op);
      if (std::optional<std::string> reason = checkOperation(op)) {
        fail(kind.empty() ? StringRef("operator") : kind, op->getLoc(), *reason);
        continue;
      }
      if (kind.empty() || isOperandOnlyKind(kind)) continue;
      const PatternFn *fn = table.lookup(kind);
      if (!fn && kind.startswith("lumo.")) fn = table.lookup("lumo.*");
      if (!fn) {
        fail(kind, op->getLoc(), refusalReason(kind).str());
        continue;
      }
      builder.setInsertionPoint(op);
      Emitter emitter(builder, op->getLoc());
      TorchOp torchOp(op, emitter, state, kind);
      Values results;
      try {
        results = (*fn)(torchOp);
      } catch (const Unsupported &u) {
        fail(kind, op->getLoc(), u.reason);
        continue;
      }
      if (results.size() != op->getNumResults()) {
        fail(kind, op->getLoc(), "the conversion gave " + std::to_string(results.size()) +
                                     " results for " + std::to_string(op->getNumResults()));
        continue;
      }
      bool complete = true;
      for (unsigned i = 0; i < results.size(); ++i) {
        if (results[i] && results[i].getType() != op->getResult(i).getType()) {
          std::string got, want;
          llvm::raw_string_ostream(got) << results[i].getType();
          llvm::raw_string_ostream(want) << op->getResult(i).getType();
          fail(kind, op->getLoc(), "result " + std::to_string(i) + " converts to " + got +
                                       " instead of " + want);
          complete = false;
        }
      }
      if (!complete) continue;
      // Results without a replacement keep the operation until nothing reads them (a backward
      // pattern may read its forward operation's operands).
      for (unsigned i = 0; i < results.size(); ++i) {
        if (results[i]) op->getResult(i).replaceAllUsesWith(results[i]);
        else complete = false;
      }
      if (complete) op->erase();
    }
  }

  if (failures.empty()) {
    for (Block &block : func.getBody()) {
      eraseDead(block);
      for (Operation &op : block) {
        StringRef kind = torchKind(&op);
        if (kind.empty()) continue;
        for (OpResult r : op.getResults())
          if (!r.use_empty()) {
            fail(kind, op.getLoc(),
                 "result " + std::to_string(r.getResultNumber()) + " is used but not converted");
            break;
          }
      }
    }
  }
  for (auto &[kind, failure] : failures) {
    InFlightDiagnostic diag = emitError(failure.loc) << "no lumo conversion for torch." << kind;
    if (!failure.reason.empty()) diag << ": " << failure.reason;
  }
  return failure(!failures.empty());
}

struct ConvertTorchToLumoPass : PassWrapper<ConvertTorchToLumoPass, OperationPass<ModuleOp>> {
  MLIR_DEFINE_EXPLICIT_INTERNAL_INLINE_TYPE_ID(ConvertTorchToLumoPass)
  StringRef getArgument() const final { return "convert-torch-to-lumo"; }
  StringRef getDescription() const final {
    return "Replace torch operations (on builtin tensors) by lumo operations";
  }
  void getDependentDialects(DialectRegistry &registry) const override {
    registry.insert<lumo::LumoDialect>();
  }
  void runOnOperation() override {
    bool ok = true;
    for (func::FuncOp func : getOperation().getOps<func::FuncOp>())
      ok &= succeeded(convertFunction(func));
    if (!ok) signalPassFailure();
  }
};

}  // namespace

std::unique_ptr<Pass> createConvertTorchToLumoPass() {
  return std::make_unique<ConvertTorchToLumoPass>();
}

void registerPasses() {
  registerPass([] { return createRefineTypesPass(); });
  registerPass([] { return createConvertTorchToLumoPass(); });
  PassPipelineRegistration<>(
      "torch-to-lumo-pipeline",
      "Convert torch-dialect operations on builtin tensors into lumo operations, fold and clean up",
      [](OpPassManager &pm) {
        pm.addPass(createConvertTorchToLumoPass());
        pm.addPass(createCanonicalizerPass());
        pm.addPass(createCSEPass());
      });
}

void printConvertedKinds(llvm::raw_ostream &os) {
  std::vector<std::string> kinds;
  for (const auto &entry : patterns().table) kinds.push_back(entry.getKey().str());
  std::sort(kinds.begin(), kinds.end());
  for (const std::string &k : kinds) os << k << "\n";
}

}  // namespace torch_lumo

// -convert-torch-to-lumo: torch operations become lumo operations through MLIR's dialect
// conversion. Each pattern of the table (TorchToLumo.h) is a ConversionPattern rooted on its torch
// operation's name, `torch.<kind>`; one more, rooted on `torch.operator`, dispatches on the
// operator's "name" (the set holds the patterns of the names the module uses). The target makes
// lumo, func and builtin legal and leaves torch operations unknown: one partial conversion converts what it can (a pattern that fails is rolled back, the
// operations it emitted included), and the operations left over are reported afterwards, one error
// per kind at its first location with the reason its pattern gave ("no lumo conversion for
// torch.<kind>: <reason>"). Constants, lists and scalar reads are never converted: the patterns read
// them from their defining operations, and they disappear once nothing reads them.
//
// Input whose types are still torch tensors is refined first (RefineTypes.cpp), so the patterns and
// the checks of Signatures.cpp always see builtin tensors.
#include "Passes.h"
#include "TorchToLumo.h"
#include "TorchTypes.h"

#include "lumo/LumoDialect.h"
#include "mlir/Dialect/Func/Transforms/FuncConversions.h"
#include "mlir/IR/Verifier.h"
#include "mlir/Interfaces/SideEffectInterfaces.h"
#include "mlir/Pass/PassManager.h"
#include "mlir/Pass/PassRegistry.h"
#include "mlir/Rewrite/FrozenRewritePatternSet.h"
#include "mlir/Transforms/DialectConversion.h"
#include "mlir/Transforms/GreedyPatternRewriteDriver.h"
#include "mlir/Transforms/Passes.h"
#include "llvm/ADT/DenseSet.h"
#include "llvm/ADT/MapVector.h"
#include "llvm/ADT/SetVector.h"
#include "llvm/ADT/StringSet.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace torch_lumo {
namespace {

bool isTorch(Operation *op) { return op->getName().getDialectNamespace() == "torch"; }

/// The kind under which a torch operation is reported: an operator without a name is "operator".
StringRef reportedKind(Operation *op) {
  StringRef kind = torchKind(op);
  return kind.empty() ? StringRef("operator") : kind;
}

/// Where a kind was first not converted, and why. The operation is one left in the module (failed
/// operations stay; for a result that had no replacement, its placeholder).
struct Failure {
  Operation *op;
  Location loc;
  std::string reason;
};

/// A result that its pattern left without a replacement while something read it: the placeholder
/// that stands in for it, and where it came from.
struct StandIn {
  StringRef kind;
  Location loc;
  unsigned result;
};

/// What one run of the conversion over a module records.
struct ConversionRun {
  /// Operations refused by checkOperation (reported already).
  llvm::DenseSet<Operation *> rejected;
  llvm::MapVector<StringRef, Failure> failures;
  llvm::DenseMap<Operation *, std::unique_ptr<FunctionState>> functions;
  llvm::DenseMap<Value, Operation *> standInOps;
  llvm::DenseMap<Value, StandIn> standIns;

  /// Records that `kind` was not converted at `op`, keeping the first location of each kind.
  void fail(StringRef kind, Operation *op, const std::string &reason) {
    fail(kind, op, op->getLoc(), reason);
  }
  /// The same, reported at `loc` (op gives the place in the module).
  void fail(StringRef kind, Operation *op, Location loc, const std::string &reason) {
    auto [it, inserted] = failures.insert({kind, Failure{op, loc, reason}});
    if (!inserted && isBefore(op, it->second.op)) it->second = Failure{op, loc, reason};
  }

  /// Whether a comes before b in the module (in the same block, or through their ancestors).
  static bool isBefore(Operation *a, Operation *b) {
    for (Operation *ancestor = a; ancestor && ancestor->getBlock();
         ancestor = ancestor->getParentOp()) {
      Operation *other = ancestor->getBlock()->findAncestorOpInBlock(*b);
      if (other) return other != ancestor && ancestor->isBeforeInBlock(other);
    }
    return false;
  }

  FunctionState *stateFor(Operation *op) {
    auto func = op->getParentOfType<func::FuncOp>();
    if (!func) return nullptr;
    std::unique_ptr<FunctionState> &state = functions[func];
    if (!state) {
      state = std::make_unique<FunctionState>(func);
      state->standIns = &standInOps;
    }
    return state.get();
  }

  void clear() {
    rejected.clear();
    failures.clear();
    functions.clear();
    standInOps.clear();
    standIns.clear();
  }
};

/// The patterns of the enabled families, by kind.
struct EnabledPatterns {
  const PatternTable *table = nullptr;
  llvm::StringSet<> families;  // empty: all
  bool enabled(StringRef kind) const {
    return families.empty() || families.contains(table->familyOf(kind));
  }
  const PatternFn *lookup(StringRef kind) const {
    const PatternFn *fn = table->lookup(kind);
    if (!fn && kind.startswith("lumo.")) {
      fn = table->lookup("lumo.*");
      kind = "lumo.*";
    }
    return fn && enabled(kind) ? fn : nullptr;
  }
};

/// Makes the rewriter and the operation being converted known to the readers while a pattern runs.
struct ConvertingScope {
  ConvertingScope(FunctionState &state, ConversionPatternRewriter &rewriter, Operation *op,
                  ArrayRef<Value> operands)
      : state(state) {
    state.rewriter = &rewriter;
    state.converting = op;
    state.operands = operands;
  }
  ~ConvertingScope() {
    state.rewriter = nullptr;
    state.converting = nullptr;
    state.operands = {};
  }
  FunctionState &state;
};

/// One torch operation kind's pattern (or, with no function, the dispatcher of `torch.operator`):
/// runs the pattern function with the rewriter, so that what it emits is rolled back when it fails,
/// and replaces the operation with the values it returns. The reason of a failure is recorded for
/// the report (the conversion framework does not print it) and passed to notifyMatchFailure.
class TorchToLumoPattern : public ConversionPattern {
 public:
  TorchToLumoPattern(TypeConverter &types, MLIRContext *ctx, StringRef root, const PatternFn *fn,
                     const EnabledPatterns &enabled, ConversionRun &run)
      : ConversionPattern(types, root, /*benefit=*/1, ctx), fn(fn), enabled(enabled), run(run) {}

  LogicalResult matchAndRewrite(Operation *op, ArrayRef<Value> operands,
                                ConversionPatternRewriter &rewriter) const override {
    if (run.rejected.contains(op))
      return rewriter.notifyMatchFailure(op, "refused by the operation checks");
    StringRef kind = torchKind(op);
    if (kind.empty() || isOperandOnlyKind(kind))
      return rewriter.notifyMatchFailure(op, "read by the patterns, not converted");
    const PatternFn *pattern = fn ? fn : enabled.lookup(kind);
    if (!pattern) {
      // Reported after the conversion with the other kinds that have no pattern.
      return rewriter.notifyMatchFailure(op, "no pattern");
    }
    auto fail = [&](const std::string &reason) {
      run.fail(kind, op, reason);
      return rewriter.notifyMatchFailure(op, reason);
    };
    FunctionState *state = run.stateFor(op);
    if (!state) return fail("the operation is not inside a function");

    rewriter.setInsertionPoint(op);
    Emitter emitter(rewriter, op->getLoc());
    TorchOp torchOp(op, emitter, *state, kind);
    Values results;
    {
      ConvertingScope scope(*state, rewriter, op, operands);
      try {
        results = (*pattern)(torchOp);
      } catch (const Unsupported &u) {
        return fail(u.reason);
      }
    }

    if (results.size() != op->getNumResults())
      return fail("the conversion gave " + std::to_string(results.size()) + " results for " +
                  std::to_string(op->getNumResults()));
    llvm::SmallVector<Type, 4> types;
    for (unsigned i = 0; i < results.size(); ++i) {
      Type want = getTypeConverter()->convertType(op->getResult(i).getType());
      if (!want) return fail("result " + std::to_string(i) + " has no builtin type");
      types.push_back(want);
      if (results[i] && results[i].getType() != want) {
        std::string got, wanted;
        llvm::raw_string_ostream(got) << results[i].getType();
        llvm::raw_string_ostream(wanted) << want;
        return fail("result " + std::to_string(i) + " converts to " + got + " instead of " +
                    wanted);
      }
    }
    // A result without a replacement (a statistic only its gradient reads, which recomputes it
    // from the forward operation's operands) that something still reads gets a placeholder: the
    // readers' patterns see where it came from through it, and a placeholder still read after the
    // conversion is reported.
    for (unsigned i = 0; i < results.size(); ++i) {
      if (results[i] || op->getResult(i).use_empty()) continue;
      Value standIn = rewriter.create<UnrealizedConversionCastOp>(op->getLoc(), types[i], ValueRange{})
                          .getResult(0);
      run.standInOps[standIn] = op;
      run.standIns.try_emplace(standIn, StandIn{kind, op->getLoc(), i});
      results[i] = standIn;
    }
    rewriter.replaceOp(op, results);
    return success();
  }

 private:
  const PatternFn *fn;
  const EnabledPatterns &enabled;
  ConversionRun &run;
};

/// Erases op if it is an unused torch operation, placeholder or lumo operation without effects
/// (random operations and collectives stay).
bool eraseIfDead(Operation &op) {
  if (!op.use_empty() || op.hasTrait<OpTrait::IsTerminator>()) return false;
  StringRef name = op.getName().getStringRef();
  if (!name.startswith("torch.") && !(name.startswith("lumo.") && isMemoryEffectFree(&op)) &&
      !(isa<UnrealizedConversionCastOp>(op) && op.getNumOperands() == 0))
    return false;
  op.erase();
  return true;
}

struct ConvertTorchToLumoPass : PassWrapper<ConvertTorchToLumoPass, OperationPass<ModuleOp>> {
  MLIR_DEFINE_EXPLICIT_INTERNAL_INLINE_TYPE_ID(ConvertTorchToLumoPass)
  ConvertTorchToLumoPass() = default;
  ConvertTorchToLumoPass(const ConvertTorchToLumoPass &other) : PassWrapper(other) {}

  StringRef getArgument() const final { return "convert-torch-to-lumo"; }
  StringRef getDescription() const final {
    return "Replace torch operations (on builtin tensors) by lumo operations";
  }
  void getDependentDialects(DialectRegistry &registry) const override {
    registry.insert<lumo::LumoDialect, func::FuncDialect>();
  }

  ListOption<std::string> families{
      *this, "families",
      llvm::cl::desc("Only the patterns of these families (elementwise, reductions, linalg, shape, "
                     "indexing, normalization, convolution, losses, creation, lumo, complex, "
                     "collectives); all when "
                     "empty")};

  LogicalResult initialize(MLIRContext *ctx) override {
    enabled.table = &patterns();
    enabled.families.clear();
    for (const std::string &family : families) {
      if (!llvm::is_contained(patternFamilies(), family)) {
        std::string known;
        for (StringRef f : patternFamilies()) known += (known.empty() ? "" : ", ") + f.str();
        return emitError(UnknownLoc::get(ctx))
               << "unknown pattern family '" << family << "' (families: " << known << ")";
      }
      enabled.families.insert(family);
    }
    return success();
  }

  /// The patterns for the torch operation names of a module: one per name whose kind has an
  /// enabled pattern, the dispatcher for `torch.operator`, and the signature conversions. Built
  /// once per module, for the names it holds: building all 400 costs 1 ms, more than converting
  /// a small module.
  FrozenRewritePatternSet buildPatterns(MLIRContext *ctx, ArrayRef<OperationName> names) {
    RewritePatternSet set(ctx);
    for (OperationName name : names) {
      StringRef kind = name.getStringRef().drop_front(strlen("torch."));
      if (kind == "operator") {
        set.add(std::make_unique<TorchToLumoPattern>(types, ctx, name.getStringRef(), nullptr,
                                                     enabled, run));
        continue;
      }
      if (isOperandOnlyKind(kind)) continue;
      if (const PatternFn *fn = enabled.lookup(kind))
        set.add(std::make_unique<TorchToLumoPattern>(types, ctx, name.getStringRef(), fn, enabled,
                                                     run));
    }
    populateFunctionOpInterfaceTypeConversionPattern<func::FuncOp>(set, types);
    populateReturnOpTypeConversionPattern(set, types);
    return FrozenRewritePatternSet(std::move(set));
  }

  void runOnOperation() override {
    ModuleOp module = getOperation();
    MLIRContext *ctx = &getContext();
    bool needsConversion = false;
    if (failed(checkTypes(module, needsConversion))) return signalPassFailure();
    if (needsConversion && failed(refineTypes(module, types))) return signalPassFailure();

    run.clear();
    // Every torch operation is checked before any pattern reads it.
    llvm::SetVector<OperationName> names;
    module.walk([&](Operation *op) {
      if (!isTorch(op)) return;
      names.insert(op->getName());
      if (std::optional<std::string> reason = checkOperation(op)) {
        run.fail(reportedKind(op), op, *reason);
        run.rejected.insert(op);
      } else if (torchKind(op).empty()) {
        run.fail("operator", op, "the operator has no name");
        run.rejected.insert(op);
      }
    });

    ConversionTarget target(*ctx);
    target.addLegalDialect<lumo::LumoDialect>();
    target.addLegalOp<ModuleOp, UnrealizedConversionCastOp>();
    target.addDynamicallyLegalOp<func::FuncOp>([&](func::FuncOp f) {
      return types.isSignatureLegal(f.getFunctionType()) && types.isLegal(&f.getBody());
    });
    target.addDynamicallyLegalDialect<func::FuncDialect>(
        [&](Operation *op) { return types.isLegal(op); });
    // Constants, lists and scalar reads are legal: the patterns read them, and they are erased once
    // unused (marking the common spellings skips their legalisation, about half of a module's
    // operations). Other torch operations stay unknown: left over by the partial conversion, they
    // are reported below.
    for (StringRef name : {"torch.constant.int", "torch.constant.float", "torch.constant.bool",
                           "torch.constant.none", "torch.constant.str", "torch.constant.device",
                           "torch.prim.ListConstruct", "torch.aten.IntImplicit",
                           "torch.aten.FloatImplicit", "torch.aten.ScalarImplicit"})
      target.addLegalOp(OperationName(name, ctx));
    DenseSet<Operation *> unconverted;
    if (failed(applyPartialConversion(module, target, buildPatterns(ctx, names.getArrayRef()),
                                      &unconverted)))
      return signalPassFailure();

    // Operations left over: kinds without a pattern (or a pattern of another family), and those
    // whose pattern failed (its reason is recorded already).
    for (Operation *op : unconverted) {
      if (!isTorch(op) || run.rejected.contains(op)) continue;
      StringRef kind = torchKind(op);
      if (isOperandOnlyKind(kind)) continue;
      std::string reason;
      if (!enabled.lookup(kind)) {
        StringRef family = enabled.table->familyOf(kind);
        if (family.empty() && kind.startswith("lumo.")) family = enabled.table->familyOf("lumo.*");
        reason = family.empty() ? refusalReason(kind).str()
                                : "its pattern is in the family '" + family.str() +
                                      "', which is not enabled";
      }
      run.fail(kind, op, reason);
    }

    if (run.failures.empty()) {
      // Unused constants, lists and placeholders go; what is still read was not converted.
      for (func::FuncOp func : module.getOps<func::FuncOp>())
        for (Block &block : func.getBody())
          for (Operation &op : llvm::make_early_inc_range(llvm::reverse(block))) {
            if (eraseIfDead(op)) continue;
            if (auto cast = dyn_cast<UnrealizedConversionCastOp>(op)) {
              auto it = run.standIns.find(cast.getResult(0));
              if (it != run.standIns.end())
                run.fail(it->second.kind, &op, it->second.loc,
                         "result " + std::to_string(it->second.result) +
                             " is used but not converted");
            } else if (isTorch(&op)) {
              for (OpResult r : op.getResults())
                if (!r.use_empty()) {
                  run.fail(reportedKind(&op), &op,
                           "result " + std::to_string(r.getResultNumber()) +
                               " is used but not converted");
                  break;
                }
            }
          }
    }
    if (!run.failures.empty()) {
      // In program order: the operations of the failures are still in the module.
      llvm::DenseMap<Operation *, std::pair<StringRef, Failure *>> at;
      for (auto &entry : run.failures) at[entry.second.op] = {entry.first, &entry.second};
      llvm::SmallVector<std::pair<StringRef, Failure *>> sorted;
      module.walk([&](Operation *op) {
        auto it = at.find(op);
        if (it != at.end()) sorted.push_back(it->second);
      });
      report(sorted);
      return signalPassFailure();
    }
    // What the canonicaliser folds next is verified first (the functions: the conversion changes
    // no symbols).
    for (func::FuncOp func : module.getOps<func::FuncOp>())
      if (failed(verify(func))) return signalPassFailure();
  }

  static void report(ArrayRef<std::pair<StringRef, Failure *>> failures) {
    for (auto &[kind, failure] : failures) {
      InFlightDiagnostic diag = emitError(failure->loc) << "no lumo conversion for torch." << kind;
      if (!failure->reason.empty()) diag << ": " << failure->reason;
    }
  }

  TorchTypeConverter types;
  EnabledPatterns enabled;
  ConversionRun run;
};

/// Verifies the module: run last when the pass manager does not verify after each pass.
struct VerifyPass : PassWrapper<VerifyPass, OperationPass<ModuleOp>> {
  MLIR_DEFINE_EXPLICIT_INTERNAL_INLINE_TYPE_ID(VerifyPass)
  StringRef getArgument() const final { return "torch-lumo-verify"; }
  void runOnOperation() override {
    if (failed(verify(getOperation()))) signalPassFailure();
  }
};

}  // namespace

std::unique_ptr<Pass> createVerifyPass() { return std::make_unique<VerifyPass>(); }

std::unique_ptr<Pass> createConvertTorchToLumoPass() {
  return std::make_unique<ConvertTorchToLumoPass>();
}

void registerPasses() {
  registerCanonicalizerPass();
  registerCSEPass();
  registerPass([] { return createRefineTypesPass(); });
  registerPass([] { return createConvertTorchToLumoPass(); });
  PassPipelineRegistration<>(
      "torch-to-lumo-pipeline",
      "Convert torch-dialect operations on builtin tensors into lumo operations, fold and clean up",
      [](OpPassManager &pm) {
        pm.addPass(createConvertTorchToLumoPass());
        // A program is one function of one block: there are no blocks to merge or drop, and the
        // region simplification would cost an eighth of the conversion's time for nothing.
        GreedyRewriteConfig config;
        config.enableRegionSimplification = false;
        pm.addPass(createCanonicalizerPass(config));
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

// The lumo dialect: its definition, the tensor types of its operations, and the base class of
// the operations, which are generated from csrc/lumo_ops.yaml (LumoOps.td in the build tree).

#ifndef LUMO_DIALECT_TD
#define LUMO_DIALECT_TD

include "mlir/IR/EnumAttr.td"
include "mlir/IR/OpBase.td"
include "mlir/Interfaces/InferTypeOpInterface.td"
include "mlir/Interfaces/SideEffectInterfaces.td"

def Lumo_Dialect : Dialect {
  let name = "lumo";
  let cppNamespace = "::lumo";
  let description = [{
The operations of the lumo operator library, on statically shaped tensors.

The `lumo` dialect holds one operation per operator of the lumo operator library
(`torch.ops.lumo.<Name>`), named exactly as the operator (`lumo.Abs`, `lumo.DotGeneral`,
`lumo.Pad`, ...), plus the dialect-only `lumo.Unary` and `lumo.Binary` for elementwise functions
the library has no operator for, and the dialect-only factorisations and solves `lumo.Cholesky`,
`lumo.Lu` and `lumo.TriangularSolve`, the Fourier transform `lumo.Fft` and the complex-number
operations `lumo.Real`, `lumo.Imag` and `lumo.Complex` (XLA's semantics). The operations are generated from the operator table
`csrc/lumo_ops.yaml`.

### Operands, attributes, results

The operator's positional tensor arguments are the operation's operands (`Tensor[]` a variadic
operand), its keyword-only arguments are attributes, and its results keep their names. The
library's `_attr_names` argument has no counterpart: an optional attribute that is absent is
simply absent, and the operation's description gives its default. Attribute kinds:

| operator argument | attribute |
|---|---|
| `int` | `i64` integer attribute (`3 : i64`) |
| `int[]` | dense `i64` array (`array<i64: 1, 2>`) |
| `float` | `f64` float attribute (`1.0e-05 : f64`) |
| `bool` | `true` / `false` |
| `str` | string (`"fwd"`); a `str` that names one of a fixed set of cases is an enum attribute (`#lumo.reduce_kind<sum>`, the enumerations are listed below, with their cases), built from the string when a library call is converted |
| `int[]?` holding one flag (`Reduce.keep_dims`) | `true` / `false` (default false) |
| `Tensor` (keyword-only: `Const.value`, `Pad.constant_values`, `RestorePadding.pad_value`) | elements attribute (`dense<...> : tensor<...>`) |

### Types

Every operand and result is a builtin ranked tensor with a static shape. Element types are spelled
as the torch dialect spells them:

| PyTorch dtype | element type |
|---|---|
| `float16`, `bfloat16`, `float32`, `float64` | `f16`, `bf16`, `f32`, `f64` |
| `bool` | `i1` |
| `int8`, `int16`, `int32`, `int64` | `si8`, `si16`, `si32`, `si64` |
| `uint8` | `ui8` |
| `complex64`, `complex128` | `complex<f32>`, `complex<f64>` |

Signless integers other than `i1` are not element types. Complex element types are accepted only
by the operations that say so (the operator table's `complex_operations`: elementwise arithmetic,
`Cast`, `Const`, `Select`, reshapes, transposes, slices, concatenation, padding, plus `Fft`, `Real`,
`Imag` and `Complex`); every other operation refuses them in its verifier. A `Cast` between real
and complex types converts as `Tensor.to` does: a real value becomes the real part (imaginary part
0); a complex value cast to a real type keeps its real part, cast to `i1` tells whether it is not 0. Index operands (gather and scatter
indices, `Transpose.perm`, the begin/size/end/strides of slices, `TopK` and argmax results, ...)
are `si32` or `si64` tensors.

### Conventions

- Elementwise operations broadcast their operands numpy-style to the result's shape (a 0-d
  operand broadcasts to anything); their operands have the result's element type (a `Cast`
  converts first), except where an operation says otherwise (`Compare` gives `i1`, `Select` takes
  an `i1` condition).
- Layouts are channels-first (`[N, C, spatial...]`) unless a `data_format` attribute names a
  channels-last format; "spatial" dimensions are those after `N` and `C`.
- Dimension attributes may be negative where an operation says so; they then count from the end.
- Random operations are not pure: their values are a deterministic function of the enclosing
  function's `vx.seed` attribute, their own seed attributes and the number of the run of the
  program (0 for the first run of a plan, then 1, 2, ...).
- Where an operation follows a well-known definition (XLA's operation semantics, TensorFlow's raw
  operations, a PyTorch function), it follows it exactly and says so.
- A CPU cannot run `NonZero` (its result shape depends on the data), `StripPadding` and
  `RestorePadding` (the appliance's own padding layout), `OnlineNormFwd` and `OnlineNormBwd`
  (streaming state kept by the appliance); they are verified all the same.

### Folding and canonicalisation

The operations marked in the operator table fold (`-canonicalize`, and the conversion's emitter as
it builds them): `x + -0.0` and `x + 0` (integers), `x - 0`, `x * 1`, `1 * x`, `x / 1`; arithmetic
on two splat constants; a `Cast` to the operand's type, of a splat or of a small constant (as
`Tensor.to` converts); a `Reshape` to the operand's type, of a constant, of a `Reshape`; the
identity `Transpose`, a `Transpose` of a splat or of the `Transpose` it undoes; a `MatMul` operand
that is a `Transpose` of its last two dimensions (it becomes the transpose flag); an identity or
splat `BroadcastInDim`; a `Slice` of everything, of a splat, or of a `DynamicUpdateSlice` at
constant indices (the update itself, or the operand beside it); a `Concat` of one tensor; a
`Select` with a splat condition. Canonicalisation patterns compose transposes, turn a transpose of
size-1 dimensions into a `Reshape`, compute a product read only transposed as the transposed
product (`(a b)^T = b^T a^T`), and broadcast the chosen operand of a constant `Select`. Folded
constants are `lumo.Const` operations. Floating-point folds keep every value exactly
(`x + 0.0` is not `x` for `x = -0.0`).
  }];
  let useFoldAPI = kEmitFoldAdaptorFolder;
  // Folds that compute a constant produce a lumo.Const.
  let hasConstantMaterializer = 1;
  let useDefaultAttributePrinterParser = 1;
}

//===----------------------------------------------------------------------===//
// Tensor types
//===----------------------------------------------------------------------===//

// Element types as the torch dialect spells them: signed integers are si*, uint8 is ui8, bool is i1.
// Element counts are int64: a shape of 2^63 or more elements is refused.
class Lumo_TensorOf<list<Type> types, string what>
    : Type<And<[StaticShapeTensorOf<types>.predicate, CPred<"::lumo::hasCountableElements($_self)">]>,
           "statically shaped tensor of " # what # ", with fewer than 2^63 elements",
           "::mlir::TensorType">;

def Lumo_Tensor : Lumo_TensorOf<[F16, BF16, F32, F64, I1, SI8, SI16, SI32, SI64, UI8],
                                "f16, bf16, f32, f64, i1, si8, si16, si32, si64 or ui8">;
def Lumo_FloatTensor : Lumo_TensorOf<[F16, BF16, F32, F64], "f16, bf16, f32 or f64">;
def Lumo_IntegerTensor : Lumo_TensorOf<[I1, SI8, SI16, SI32, SI64, UI8], "i1, si8, si16, si32, si64 or ui8">;
def Lumo_IndexTensor : Lumo_TensorOf<[SI32, SI64], "si32 or si64">;
def Lumo_BoolTensor : Lumo_TensorOf<[I1], "i1">;
def Lumo_ComplexTensor : Lumo_TensorOf<[Complex<F32>, Complex<F64>], "complex<f32> or complex<f64>">;
// The kinds of the operations that also take complex tensors.
def Lumo_TensorOrComplex
    : Lumo_TensorOf<[F16, BF16, F32, F64, I1, SI8, SI16, SI32, SI64, UI8, Complex<F32>, Complex<F64>],
                    "f16, bf16, f32, f64, i1, si8, si16, si32, si64, ui8, complex<f32> or complex<f64>">;
def Lumo_FloatOrComplexTensor
    : Lumo_TensorOf<[F16, BF16, F32, F64, Complex<F32>, Complex<F64>],
                    "f16, bf16, f32, f64, complex<f32> or complex<f64>">;

//===----------------------------------------------------------------------===//
// Traits and the operation base class
//===----------------------------------------------------------------------===//

// Every operand broadcasts numpy-style to the result's shape (lumo/include/lumo/LumoTraits.h).
def Lumo_BroadcastsToResult : NativeOpTrait<"BroadcastsToResult"> {
  let cppNamespace = "::lumo::OpTrait";
}

class Lumo_Op<string mnemonic, list<Trait> traits = []> : Op<Lumo_Dialect, mnemonic, traits> {
  let assemblyFormat = "operands attr-dict `:` functional-type(operands, results)";
}

#endif // LUMO_DIALECT_TD

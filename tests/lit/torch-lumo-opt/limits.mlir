// Inputs beyond the tool's limits end in a diagnostic, never in a crash: nesting deeper than 256
// levels (MLIR's parser recurses once per level) and element counts beyond 64 bits.
// RUN: torch-lumo-opt %s -verify-diagnostics
// RUN: %python -c "print('module {' * 5000 + '}' * 5000)" > %t.deep
// RUN: not torch-lumo-opt -refine-types -torch-to-lumo-pipeline < %t.deep > %t.out 2> %t.err
// RUN: count 0 < %t.out
// RUN: FileCheck %s --check-prefix=DEEP < %t.err
// DEEP: <stdin>:1:2056: error: nesting deeper than 256 levels of brackets, braces and parentheses
// 256 levels are read; brackets in strings and comments do not count.
// RUN: %python -c "print('module {' * 255 + 'func.func private @f() attributes {s = ' + chr(34) + '{' * 300 + chr(34) + '}' + chr(10) + '// ' + '(' * 300 + chr(10) + '}' * 255)" | torch-lumo-opt | FileCheck %s --check-prefix=EDGE
// EDGE: func.func private @f()
// RUN: %python -c "print('module {' * 257 + '}' * 257)" | not torch-lumo-opt 2>&1 | FileCheck %s --check-prefix=OVER
// OVER: error: nesting deeper than 256 levels

// A lumo operation on a tensor of 2^96 elements: the lumo tensor types hold fewer than 2^63.
func.func @main(%a: tensor<4294967296x4294967296x4294967296xf32>) -> tensor<4294967296x4294967296x4294967296xf32> {
  // expected-error @+1 {{'lumo.Abs' op operand #0 must be statically shaped tensor of f16, bf16, f32, f64, i1, si8, si16, si32, si64 or ui8, with fewer than 2^63 elements, but got 'tensor<4294967296x4294967296x4294967296xf32>'}}
  %0 = lumo.Abs %a : (tensor<4294967296x4294967296x4294967296xf32>) -> tensor<4294967296x4294967296x4294967296xf32>
  return %0 : tensor<4294967296x4294967296x4294967296xf32>
}

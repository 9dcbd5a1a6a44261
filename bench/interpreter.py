"""lumo interpreter benchmark: Program.run against PyTorch eager doing the same work, side by side.

(a) 2,000 small elementwise operations on 8x8 float32 tensors: one run against the same ATen
    calls made one by one from Python (target: ratio <= 0.5).
(b) MatMul + Add + Relu on 1024x1024 float32 (target: ratio <= 1.05).

Each figure is the best of several alternating rounds. A missed target is reported, not fatal.
usage: python bench/interpreter.py
"""
import time

import torch

import lumo_interpreter as li

ELEMENTWISE = [("Add", torch.add, 2), ("Mul", torch.mul, 2), ("Tanh", torch.tanh, 1), ("Sub", torch.sub, 2)]


def chain_program(n):
    t = "tensor<8x8xf32>"
    lines = [f"func.func @main(%v0: {t}, %y: {t}) -> {t} {{"]
    for i in range(n):
        name, _, arity = ELEMENTWISE[i % len(ELEMENTWISE)]
        operands, types = (f"%v{i}, %y", f"{t}, {t}") if arity == 2 else (f"%v{i}", t)
        lines.append(f'  %v{i + 1} = "lumo.{name}"({operands}) : ({types}) -> {t}')
    lines.append(f"  return %v{n} : {t}\n}}")
    return "\n".join(lines)


def eager_chain(x, y, n):
    for i in range(n):
        _, fn, arity = ELEMENTWISE[i % len(ELEMENTWISE)]
        x = fn(x, y) if arity == 2 else fn(x)
    return x


MATMUL = """
func.func @main(%a: tensor<1024x1024xf32>, %b: tensor<1024x1024xf32>, %c: tensor<1024x1024xf32>) -> tensor<1024x1024xf32> {
  %0 = "lumo.MatMul"(%a, %b) {transpose_a = false, transpose_b = false} : (tensor<1024x1024xf32>, tensor<1024x1024xf32>) -> tensor<1024x1024xf32>
  %1 = "lumo.Add"(%0, %c) : (tensor<1024x1024xf32>, tensor<1024x1024xf32>) -> tensor<1024x1024xf32>
  %2 = "lumo.Relu"(%1) : (tensor<1024x1024xf32>) -> tensor<1024x1024xf32>
  return %2 : tensor<1024x1024xf32>
}
"""


def best_of(rounds, *fns):
    """The best time of each function over `rounds` alternating rounds."""
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def report(label, interp, eager, target):
    ratio = interp / eager
    verdict = "ok" if ratio <= target else "MISSED"
    print(f"  {label}: interpreter {interp * 1e3:8.2f} ms  eager {eager * 1e3:8.2f} ms  "
          f"ratio {ratio:.2f} (target <= {target}) {verdict}")


def main():
    torch.manual_seed(0)
    print(f"lumo interpreter benchmark (torch {torch.__version__}, {torch.get_num_threads()} threads)")

    n = 2000
    prog = li.Program(chain_program(n))
    x, y = torch.rand(8, 8), torch.rand(8, 8)
    got = prog.run([x, y])[0]
    torch.testing.assert_close(got, eager_chain(x, y, n))
    interp, eager = best_of(15, lambda: prog.run([x, y]), lambda: eager_chain(x, y, n))
    report(f"(a) {n} elementwise ops on 8x8", interp, eager, 0.5)

    prog = li.Program(MATMUL)
    a, b, c = (torch.rand(1024, 1024) for _ in range(3))
    torch.testing.assert_close(prog.run([a, b, c])[0], torch.relu(torch.matmul(a, b) + c))
    interp, eager = best_of(25, lambda: prog.run([a, b, c]), lambda: torch.relu(torch.matmul(a, b) + c))
    report("(b) MatMul + Add + Relu, 1024x1024", interp, eager, 1.05)


if __name__ == "__main__":
    main()

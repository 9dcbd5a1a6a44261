"""torch-lumo-opt on malformed input: a diagnostic and exit status 1, never a crash, nothing on
standard output."""
import fuzz_tool


def test_mutated_modules_fail_cleanly():
    """300 mutations of real training-step modules and of the lit tests' functions (fuzz_tool.py;
    run it longer from the command line): no crash, no hang, nothing on standard output on failure,
    and no mutation that makes a real module invalid converts."""
    counts, failures = fuzz_tool.run(300, seed=1, jobs=2)
    statuses = {k for c in counts.values() for k, v in c.items() if k.startswith("exit") and v}
    assert sum(sum(v for k, v in c.items() if k.startswith("exit")) for c in counts.values()) > 200
    assert statuses == {"exit 0", "exit 1"}, statuses
    assert not failures, [(kind, name, outcome, status, err) for kind, name, outcome, status, err, _ in
                          failures[:5]]

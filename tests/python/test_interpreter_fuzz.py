"""The interpreter's mutation fuzz, bounded: mutated real lumo programs and wrong arguments to
`run` end in results or Python exceptions, never in a crash or a hang (the cases run in worker
processes, see lumo_fuzz.py; `python tests/python/lumo_fuzz.py --count 600` runs it longer)."""
import lumo_fuzz

SEED, COUNT = 1, 300


def test_mutated_programs_and_wrong_arguments_end_in_results_or_errors():
    corpus = lumo_fuzz.build_corpus(lumo_fuzz.find_tool())
    assert len(corpus) >= 40  # every lit input that converts, in two forms
    counts, faults = lumo_fuzz.drive(SEED, COUNT, timeout=120, corpus=corpus, log=lambda line: None)
    assert not faults, "\n".join(faults)
    # The cases reach the planner and the kernels, not only the parser.
    assert counts["ok"] >= COUNT // 10, counts

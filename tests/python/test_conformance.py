"""The first float32 sample of every operator in PyTorch's op_db, forward and gradient, through the
whole system (tests/python/opdb.py): each outcome must be the one docs/conformance.tsv records (the
record docs/conformance.md is made from), so a regression fails here and so does a record that
`make conformance` should have rewritten."""
import pathlib

import pytest

import opdb

RECORD = pathlib.Path(__file__).resolve().parents[2] / "docs" / "conformance.tsv"
SHARDS = 4


def recorded():
    """{sample id: status} of the samples run with program inputs that do not pass."""
    statuses = {}
    for line in RECORD.read_text().splitlines():
        if line and not line.startswith("#"):
            how, tid, status, _ = line.split("\t", 3)
            if how == "inputs":
                statuses[tid] = status
    return statuses


@pytest.fixture(scope="module")
def fast_slice():
    return opdb.enumerate_tasks(1, ["float32"], ["fwd", "grad"])


@pytest.mark.parametrize("shard", range(SHARDS))
def test_first_samples_match_the_record(fast_slice, shard):
    record = recorded()
    outcomes = opdb.run(fast_slice[shard::SHARDS])
    stale = [f"{tid}: {status} ({reason}), the record says {record.get(tid, 'pass')}"
             for tid, (status, reason) in sorted(outcomes.items()) if record.get(tid, "pass") != status]
    assert not stale, ("docs/conformance.tsv differs from these samples' outcomes (run `make conformance`,"
                       " or scripts/conformance.py --ops for a few operators, if the change is meant):\n" +
                       "\n".join(stale))

"""The first float32 sample of every operator in PyTorch's op_db, forward and gradient, through the
whole system (tests/python/opdb.py): each outcome must be the one docs/conformance.md records, so a
regression fails here and so does a page that `make conformance` should have rewritten."""
import pathlib
import re

import pytest

import opdb

PAGE = pathlib.Path(__file__).resolve().parents[2] / "docs" / "conformance.md"
SHARDS = 4


def recorded():
    """{sample id: status} of the page's per-operator table (a counted sample not listed passes)."""
    statuses = {}
    for line in PAGE.read_text().splitlines():
        m = re.match(r"\| `([^`]+)` \| \d+ \| \d+ \| (.*) \|$", line)
        if not m:
            continue
        op, bad = m.groups()
        statuses[op] = {}
        for item in filter(None, bad.split("<br>")):
            k = re.match(r"(\w+) (fwd|grad) #(\d+): ([a-z ]+) —", item)
            statuses[op][f"{op}:{k.group(1)}:{k.group(2)}:{k.group(3)}"] = k.group(4)
    return statuses


@pytest.fixture(scope="module")
def fast_slice():
    return opdb.enumerate_tasks(1, ["float32"], ["fwd", "grad"])


@pytest.mark.parametrize("shard", range(SHARDS))
def test_first_samples_match_the_page(fast_slice, shard):
    page = recorded()
    outcomes = opdb.run(fast_slice[shard::SHARDS])
    stale = []
    for tid, (status, reason) in sorted(outcomes.items()):
        if status == "skip":
            continue
        op = tid.rsplit(":", 3)[0]
        want = page.get(op, {}).get(tid, "pass" if op in page else "absent")
        if status != want:
            stale.append(f"{tid}: {status} ({reason}), the page says {want}")
    assert not stale, ("docs/conformance.md differs from these samples' outcomes (run `make conformance`"
                       " if the change is meant):\n" + "\n".join(stale))

"""The lumo dialect's generated artefacts: the committed reference page is the one the build
generates from the operator table, and every operation of the dialect has a valid instance in the
lit tests (so each one is parsed, printed and verified there)."""
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "lumo"


def test_reference_page_is_current():
    committed = ROOT / "lumo" / "docs" / "LumoOps.md"
    generated = BUILD / "docs" / "LumoOps.md"
    assert committed.read_text() == generated.read_text(), (
        f"{committed.relative_to(ROOT)} is stale: the operator table or the dialect definition changed. "
        "Refresh it with `make lumo-docs` and commit it.")


def test_every_operation_has_a_valid_instance():
    listed = re.findall(r"^LUMO_OP\((\w+)\)$", (BUILD / "include" / "lumo" / "LumoOpList.def").read_text(), re.M)
    used = set(re.findall(r"\blumo\.(\w+) ", (ROOT / "tests" / "lit" / "dialect" / "ops.mlir").read_text()))
    assert listed
    assert sorted(set(listed) - used) == []

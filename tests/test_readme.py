"""The README's Python examples run as written."""

import doctest
import pathlib
import re

import pytest

from korvell.pfnc.genicam.components import COMPONENT_SET_REGISTRY
from korvell.pfnc.vendor import VENDOR_NAMES

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


@pytest.fixture
def restored_vocabulary():
    snaps = [(registry, registry.snapshot()) for registry in (COMPONENT_SET_REGISTRY, VENDOR_NAMES)]
    yield
    for registry, snap in snaps:
        registry.restore(snap)


def test_examples(restored_vocabulary):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert blocks
    test = doctest.DocTestParser().get_doctest("\n".join(blocks), {}, "README", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0, f"{runner.failures} README example(s) failed"

"""The README's Python examples run as written."""

import doctest
import pathlib
import re

import pytest

from korvell.pfnc.genicam.components import COMPONENT_SET_REGISTRY

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


@pytest.fixture
def restored_vocabulary():
    snap = COMPONENT_SET_REGISTRY.snapshot()
    yield
    COMPONENT_SET_REGISTRY.restore(snap)


def test_examples(restored_vocabulary):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert blocks
    test = doctest.DocTestParser().get_doctest("\n".join(blocks), {}, "README", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0, f"{runner.failures} README example(s) failed"

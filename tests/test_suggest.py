"""Near misses: which names a mistyped pixel-format name gets as hints."""

import random

import pytest

from korvell.pfnc import suggest, vendor
from korvell.pfnc.genicam.components import COMPONENT_SET_REGISTRY, ComponentSetDefinition
from korvell.pfnc.suggest import near_names


@pytest.mark.parametrize(
    "text, expected",
    [
        ("mono8", ["Mono8"]),
        ("Bgr8", ["BGR8"]),  # case aside, no edit at all
        ("rgb10v1packed", ["RGB10V1Packed"]),  # a name the grammar cannot read
        ("Mnoo12p", ["Mono12p"]),  # swap of neighbours
        ("BaerRG8", ["BayerRG8"]),  # insert
        ("Mono8x", ["Mono8", "Mono8s"]),  # delete, replace
        ("BayerRBGG8", ["BayerRG8", "BayerBG8"]),  # two edits, the longer shared front first
        ("Foo8", []),  # two edits from Mono8, but short
        ("Mono8" * 20, []),
    ],
)
def test_near_names(text, expected):
    assert near_names(text) == expected


def test_vocabulary_and_vendor_names_are_read_at_call_time():
    sets, names = COMPONENT_SET_REGISTRY.snapshot(), vendor.VENDOR_NAMES.snapshot()
    try:
        assert near_names("xyzw12p") == [] and near_names("Mono12gkv") == []
        COMPONENT_SET_REGISTRY.add(ComponentSetDefinition("Xyzw", ("Xyzw",)))
        vendor.register_vendor_name("Mono12gKv", "Mono12g")
        assert near_names("xyzw12p") == ["Xyzw12p"]
        assert near_names("Xzyw12p") == ["Xyzw12p"]
        assert near_names("Mono12gkv") == ["Mono12gKv"]
    finally:
        COMPONENT_SET_REGISTRY.restore(sets)
        vendor.VENDOR_NAMES.restore(names)


def _reference_distance(a, b):
    # The full table of the restricted (optimal string alignment) edit distance.
    d = [[i + j if not i or not j else 0 for j in range(len(b) + 1)] for i in range(len(a) + 1)]
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return d[-1][-1]


def test_bounded_distance_agrees_with_the_full_table():
    rng = random.Random(11)
    for _ in range(3000):
        a, b = ("".join(rng.choice("ab8_") for _ in range(rng.randint(0, 8))) for _ in range(2))
        limit = rng.randint(0, 3)
        assert suggest._distance(a, b, limit) == min(_reference_distance(a, b), limit + 1), (a, b, limit)

"""Type-check the package and the README's examples with mypy --strict.

The README's ``python`` blocks are doctest sessions; their statements are
written out as one module (output lines dropped), so that what users copy is
checked with the same strictness as the package.  Run from the repository:

    python tools/check_typing.py
"""

from __future__ import annotations

import os
import pathlib
import re
import sys
import tempfile

from mypy import api

ROOT = pathlib.Path(__file__).resolve().parents[1]


def readme_module() -> str:
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    lines = ["# The README's examples, statement by statement."]
    for block in re.findall(r"```python\n(.*?)```", text, re.S):
        for line in block.splitlines():
            stripped = line.lstrip()
            if stripped.startswith((">>> ", "... ")):
                lines.append(stripped[4:])
            elif stripped in (">>>", "..."):
                lines.append("")
    return "\n".join(lines) + "\n"


def main() -> int:
    status = 0
    with tempfile.TemporaryDirectory() as folder:
        readme = pathlib.Path(folder, "readme_examples.py")
        readme.write_text(readme_module(), encoding="utf-8")
        # From the source tree, so that mypy reads the sources and stubs, not an
        # installed copy.
        os.chdir(ROOT / "src")
        for targets in (["-p", "korvell.pfnc"], [str(ROOT / "tests" / "typing_examples.py"), str(readme)]):
            out, err, code = api.run(["--strict", *targets])
            sys.stdout.write(out)
            sys.stderr.write(err)
            status = status or code
    return status


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The module-graph check against small engine/ folders: one whose includes form a cycle (a -> b
-> c -> a, with d outside it) must fail naming exactly the cycle's modules; the same folder with
the cycle cut must pass, each module after what it includes."""

import subprocess
import sys
import tempfile
from pathlib import Path

SCRIPT = Path(__file__).resolve().parent.parent / "scripts" / "check-module-graph.py"


def run(files):
    with tempfile.TemporaryDirectory() as root:
        engine = Path(root) / "engine"
        engine.mkdir()
        for name, includes in files.items():
            text = "".join(f'#include "engine/{i}.h"\n' for i in includes)
            (engine / name).write_text(text)
        r = subprocess.run([sys.executable, str(SCRIPT), "--root", root], capture_output=True,
                           text=True, check=False)
        return r.returncode, r.stdout


def main():
    files = {"a.cpp": ["a", "b"], "b.h": ["c"], "c.cpp": ["a", "common"], "d.cpp": ["a"],
             "common.h": []}
    status, out = run(files)
    assert status == 1, out
    assert "cycle among a, b, c:" in out and "d" not in out.split("cycle among")[1].split(":")[0], out
    assert "c -> a" in out, out
    files["c.cpp"] = ["common"]
    status, out = run(files)
    assert status == 0, out
    order = [line.split(":")[1].split("<-")[0].strip() for line in out.splitlines()
             if line.startswith("layer")]
    assert order.index("c") < order.index("b") < order.index("a") < order.index("d"), out
    print("module graph check: a cycle found, its cut accepted")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Checks the include direction of the native sources: every `#include "..."`
goes to the including file's own folder or to a folder of a lower layer,
never sideways within a layer or upwards, so no two folders include each
other; and only the Python folders include Python.h (NumPy's headers:
module_execute/ only). Exits 1 with every offending line, 0 when all hold.

    python3 .ci/check_includes.py [NATIVE_FOLDER]
"""

import pathlib
import re
import sys

NATIVE = "src/quelmar/afe/domain/modelling/helper/data_frame_builder_helper"

# The layers, top first. A folder may include its own headers and those of
# any folder in a lower layer; the folders of one layer know nothing of
# each other. A source in a folder not listed here fails the check.
LAYERS = [
    ["module_execute", "module_engine"],  # the two extension modules
    ["boundary"],                         # what both modules share of Python
    ["core/split", "core/frame"],         # execute's split loop; the engine's passes
    ["core/aggregation", "core/sliding"],  # execute's scanner; the engine's
    ["core/rules", "core/rows"],          # what both scanners decide; the row writers
    ["core/plan"],                        # a split's plan and its windows
    ["core/common"],                      # failures, views, the request, threads
]
PYTHON_FOLDERS = {"module_execute": ("Python.h", "numpy/"), "module_engine": ("Python.h",), "boundary": ("Python.h",)}

LAYER_OF = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')


def folder_of(path: str):
    parts = path.split("/")
    for depth in (2, 1):
        if "/".join(parts[:depth]) in LAYER_OF and len(parts) > depth:
            return "/".join(parts[:depth])
    return None


def problems(root: pathlib.Path):
    for source in sorted(root.rglob("*")):
        if source.suffix not in (".cpp", ".hpp", ".h"):
            continue
        name = source.relative_to(root).as_posix()
        folder = folder_of(name)
        if folder is None:
            yield f"{name}: its folder is not among the layers of {__file__}"
            continue
        for number, line in enumerate(source.read_text().splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            where, target = f"{name}:{number}", match.group(2)
            if match.group(1) == "<":
                if target.startswith(("Python.h", "numpy/")) and not target.startswith(PYTHON_FOLDERS.get(folder, ())):
                    yield f"{where}: {folder}/ may not include <{target}>"
                continue
            if not (root / target).is_file():
                yield f"{where}: {target} is not a file of the native folder"
            to = folder_of(target)
            if to is None or to == folder:
                continue
            if LAYER_OF[to] <= LAYER_OF[folder]:
                side = "beside" if LAYER_OF[to] == LAYER_OF[folder] else "above"
                yield f"{where}: {folder}/ includes {target}, a folder {side} it"


def main(argv):
    root = pathlib.Path(argv[1] if len(argv) > 1 else pathlib.Path(__file__).resolve().parent.parent / NATIVE)
    found = list(problems(root))
    for problem in found:
        print(problem, file=sys.stderr)
    if found:
        print(f"include check: {len(found)} problem(s)", file=sys.stderr)
        return 1
    print("include check: every include goes to its own folder or a lower layer")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

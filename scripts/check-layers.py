#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer above its own.

    scripts/check-layers.py [SRC]     check the tree (default: the src next to this script),
                                      and the worker/ and apps/ folders beside it
    scripts/check-layers.py --self-test

The layers, lowest first, are those drawn in docs/dev/architecture.md. A file may include
headers of its own folder and of the folders below it. The host interface (src/host) lies
below the plug-in; the standalone host (src/host/standalone) is reached by nobody in the
plug-in, and the host reaches nothing of the plug-in. Files at the top of src (the
library's entry points) may include anything.

Beside the plug-in: the worker library (worker/) includes nothing of src, and nothing of
its monitor (worker/monitor), which sits on it; the farm program may include both; the node
program includes only the host (it loads the plug-in, it never links it).
"""

import pathlib
import re
import sys
import tempfile

LAYERS = ["host", "transport", "diag", "job", "render", "daemon", "script"]
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SOURCE_SUFFIXES = {".h", ".cpp"}
# Folders outside src: the include folders each may reach (its own among them).
PROGRAM_REACH = {
    "worker": {"worker"},
    "worker/monitor": {"worker", "worker/monitor"},
    "apps/paravelle-farm": {"worker", "worker/monitor"},
    "apps/paravelle-node": {"host", "host/standalone"},
}


def folder_of(parts):
    """The layer a path (split into folders) belongs to, with the standalone host apart."""
    if len(parts) >= 2 and parts[0] == "host" and parts[1] == "standalone":
        return "host/standalone"
    return parts[0]


def rank(folder):
    return LAYERS.index("host" if folder == "host/standalone" else folder)


def faults_in(src_root):
    """Every include that goes up or sideways into the standalone host, as 'file:line: why'."""
    for path in sorted(src_root.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        relative = path.relative_to(src_root)
        if len(relative.parts) < 2:
            continue
        if relative.parts[0] not in LAYERS:
            continue
        own = folder_of(relative.parts)
        lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
        for number, line in enumerate(lines, start=1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target_parts = match.group(1).split("/")
            if len(target_parts) < 2 or target_parts[0] not in LAYERS:
                continue
            target = folder_of(target_parts)
            where = f"{relative.as_posix()}:{number}"
            if target == "host/standalone" and own != "host/standalone":
                yield f"{where}: {match.group(1)} belongs to the standalone host, which only src/host may name"
            elif rank(target) > rank(own):
                yield f"{where}: {match.group(1)} lies in {target}/, a layer above {own}/"


def include_folder(include):
    """The folder an include names, in PROGRAM_REACH's terms; None for a file of its own folder."""
    parts = include.split("/")
    if len(parts) < 2:
        return None
    if parts[0] in ("worker", "host") and len(parts) >= 3 and parts[1] in ("monitor", "standalone"):
        return f"{parts[0]}/{parts[1]}"
    return parts[0]


def program_faults_in(root):
    """Every include of worker/ and apps/ that reaches a folder its program may not, as 'file:line: why'."""
    for folder, reach in sorted(PROGRAM_REACH.items()):
        base = root / folder
        if not base.is_dir():
            continue
        for path in sorted(base.rglob("*")):
            if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
                continue
            relative = path.relative_to(root)
            owner = "/".join(relative.parts[:2]) if len(relative.parts) > 2 else relative.parts[0]
            if owner != folder:
                continue
            lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
            for number, line in enumerate(lines, start=1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = include_folder(match.group(1))
                if target is None or target in reach:
                    continue
                if target in LAYERS or target in PROGRAM_REACH or target.startswith("host"):
                    yield f"{relative.as_posix()}:{number}: {match.group(1)} lies in {target}/, which {folder}/ may not reach"


def check(src_root):
    faults = list(faults_in(src_root)) + list(program_faults_in(src_root.parent))
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} include(s) go against the layers (lowest first): {', '.join(LAYERS)}")
        return 1
    print(f"every include goes downward ({', '.join(reversed(LAYERS))}; {', '.join(PROGRAM_REACH)})")
    return 0


# (file, include, whether it goes against the layers)
SELF_TEST_CASES = [
    ("render/frame.cpp", "job/job_state.h", False),
    ("render/frame.cpp", "render/frame.h", False),
    ("render/frame.cpp", "host/core.h", False),
    ("render/frame.cpp", "daemon/session.h", True),
    ("job/state.h", "render/frame.h", True),
    ("transport/socket.cpp", "diag/log_file.h", True),
    ("daemon/mxs/eval.cpp", "script/fpwrapper/fpwrapper.h", True),
    ("script/interface.cpp", "daemon/mxs/eval.h", False),
    ("diag/trap.cpp", "host/standalone/platform.h", True),
    ("host/core.h", "transport/text.h", True),
    ("host/standalone/files.cpp", "host/standalone/file_paths.h", False),
    ("host/standalone/files.cpp", "job/job_state.h", True),
    ("library.cpp", "script/interface.h", False),
    ("render/frame.cpp", "boost/unrelated.hpp", False),
    ("../worker/farm_worker.cpp", "worker/frame_codec.h", False),
    ("../worker/farm_worker.cpp", "worker/monitor/job_board.h", True),
    ("../worker/farm_worker.cpp", "transport/simple_socket.h", True),
    ("../worker/monitor/job_board.cpp", "worker/job_runner.h", False),
    ("../apps/paravelle-farm/main.cpp", "worker/monitor/monitor_server.h", False),
    ("../apps/paravelle-node/main.cpp", "host/standalone/wide_text.h", False),
    ("../apps/paravelle-node/main.cpp", "daemon/session.h", True),
    ("../apps/paravelle-node/main.cpp", "worker/farm_worker.h", True),
]


def self_test():
    failures = 0
    for file, include, expected in SELF_TEST_CASES:
        with tempfile.TemporaryDirectory() as root:
            src = pathlib.Path(root, "src")
            path = src / file
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(f'#include <string>\n  #include "{include}"\n', encoding="utf-8")
            found = list(faults_in(src)) + list(program_faults_in(src.parent))
        where = file[3:] if file.startswith("../") else file
        if bool(found) != expected or (found and not found[0].startswith(f"{where}:2: ")):
            print(f"{file} including {include}: expected {'a fault' if expected else 'none'}, got {found}")
            failures += 1
    print(f"{len(SELF_TEST_CASES) - failures} of {len(SELF_TEST_CASES)} cases as expected")
    return 1 if failures else 0


def main(arguments):
    if arguments[:1] in (["-h"], ["--help"]):
        print(__doc__.strip())
        return 0
    if arguments[:1] == ["--self-test"]:
        return self_test()
    src_root = pathlib.Path(arguments[0]) if arguments else pathlib.Path(__file__).resolve().parent.parent / "src"
    if not src_root.is_dir():
        print(f"check-layers: {src_root} is not a folder", file=sys.stderr)
        return 2
    return check(src_root)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""Checks that includes and links point down the layers of docs/architecture.md.

Reads every `#include "..."` of the program's sources and every
target_link_libraries() of its CMake files, and fails naming file and line
when a folder uses a folder above it, a channel uses another channel, or the
stand-in server uses anything of the client but the platform and the wire.

    scripts/check-layering.py [ROOT]     check the tree at ROOT (default: this project)
    scripts/check-layering.py --self-test
"""
import os
import re
import sys
import tempfile

# Lowest first. A folder may use its own files and every folder of a lower
# layer; within a layer only the pairs in SIDEWAYS. A subfolder belongs to the
# folder it is in (platform/os/linux is platform/os) unless listed itself.
LAYERS = [
    ["platform/types"],
    ["platform/os", "platform/sql"],
    ["platform/data"],
    ["remote/wire"],
    ["remote"],
    ["config", "replication/core"],
    ["replication/master_data", "replication/transactions", "replication/store_carrier"],
    ["connections"],
    ["update"],
    ["app", "tools/cycle", "tools/sign", "tools/schema", "tools/channel_schemas", "tools/appserver"],
]
SIDEWAYS = {
    ("config", "replication/core"),
    ("replication/core", "config"),
    ("tools/channel_schemas", "tools/schema"),
    ("tools/appserver", "tools/schema"),
}
# Folders that may use only what is listed, whatever their layer.
ONLY = {
    # An independent peer of the client: the platform and the wire, never the
    # client's channels, broker or configuration.
    "tools/appserver": {"platform/types", "platform/os", "platform/sql", "platform/data", "remote/wire",
                        "tools/schema"},
}
# Above every layer: they may use anything, and nothing of the program uses them.
ABOVE = ["tests", "bench", "fuzz"]

RANK = {folder: rank for rank, layer in enumerate(LAYERS) for folder in layer}
SOURCE = re.compile(r"\.(h|hpp|cpp)$")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
FUNCTION = re.compile(r"\b(kelt_library|add_library|add_executable|target_link_libraries)\s*\(", re.I)


def folder_of(path):
    """The layer folder a project path belongs to, or None for the top (tests, bench, fuzz)."""
    parts = path.split("/")
    if parts[0] in ABOVE:
        return None
    for n in range(len(parts), 0, -1):
        candidate = "/".join(parts[:n])
        if candidate in RANK:
            return candidate
    return ""  # in no layer


def may_use(user, used):
    if used == user:
        return True
    if user in ONLY:
        return used in ONLY[user]
    if (user, used) in SIDEWAYS:
        return True
    return RANK[used] < RANK[user]


def why_not(user, used):
    if user in ONLY:
        return f"{user} may use only {', '.join(sorted(ONLY[user]))}"
    if RANK[used] == RANK[user]:
        return f"{used} is beside {user} in the same layer"
    return f"{used} is above {user}"


def program_files(root):
    for top, dirs, files in os.walk(root):
        rel_top = os.path.relpath(top, root).replace(os.sep, "/")
        dirs[:] = sorted(d for d in dirs if not d.startswith(".") and not (rel_top == "." and d.startswith("build")))
        for name in sorted(files):
            rel = name if rel_top == "." else f"{rel_top}/{name}"
            yield rel


def check_includes(root, rel, errors):
    user = folder_of(rel)
    if user is None:
        return
    with open(os.path.join(root, rel), encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            target = m.group(1)
            if ".." in target.split("/"):
                errors.append(f"{rel}:{number}: includes \"{target}\": name the folder from the project root")
                continue
            if "/" not in target:
                continue  # a header of the same folder
            used = folder_of(os.path.dirname(target))
            if used is None:
                errors.append(f"{rel}:{number}: includes \"{target}\": the program never includes {target.split('/')[0]}/")
            elif used == "":
                errors.append(f"{rel}:{number}: includes \"{target}\": {os.path.dirname(target)} has no layer "
                              "(scripts/check-layering.py, docs/architecture.md)")
            elif not may_use(user, used):
                errors.append(f"{rel}:{number}: includes \"{target}\": {why_not(user, used)}")


def cmake_calls(text):
    """(function, arguments, line) of each call, comments removed, arguments split on blanks."""
    text = re.sub(r"#[^\n]*", "", text)
    for m in FUNCTION.finditer(text):
        depth, i = 1, m.end()
        while i < len(text) and depth:
            depth += {"(": 1, ")": -1}.get(text[i], 0)
            i += 1
        args = text[m.end():i - 1].split()
        yield m.group(1).lower(), args, text.count("\n", 0, m.start()) + 1


def check_links(root, cmake_files, errors):
    owner = {}  # target -> folder
    links = []  # (cmake file, line, target, dependency)
    for rel in cmake_files:
        here = os.path.dirname(rel)
        with open(os.path.join(root, rel), encoding="utf-8") as f:
            text = f.read()
        for function, args, line in cmake_calls(text):
            if not args:
                continue
            if function == "kelt_library" and len(args) > 1:
                owner[args[0]] = args[1]
            elif function in ("add_library", "add_executable") and "IMPORTED" not in args:
                owner.setdefault(args[0], here)
            elif function == "target_link_libraries":
                links += [(rel, line, args[0], dep) for dep in args[1:]]
    for rel, line, target, dep in links:
        if target not in owner or dep not in owner:
            continue  # platform libraries, keywords, generator expressions
        user, used = folder_of(owner[target]), folder_of(owner[dep])
        if user is None:
            continue
        if used is None:
            errors.append(f"{rel}:{line}: {target} links {dep}: the program never links {owner[dep]}/")
        elif "" in (user, used):
            folder = owner[target] if user == "" else owner[dep]
            errors.append(f"{rel}:{line}: {target} links {dep}: {folder} has no layer "
                          "(scripts/check-layering.py, docs/architecture.md)")
        elif not may_use(user, used):
            errors.append(f"{rel}:{line}: {target} links {dep}: {why_not(user, used)}")


def check_map(root, errors):
    """docs/architecture.md names every folder of the layers."""
    path = os.path.join(root, "docs", "architecture.md")
    if not os.path.exists(path):
        errors.append("docs/architecture.md: missing; it is the map of these layers")
        return
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for folder in RANK:
        if f"`{folder}/`" not in text:
            errors.append(f"docs/architecture.md: does not name `{folder}/`")


def check(root):
    errors = []
    files = list(program_files(root))
    for rel in files:
        if SOURCE.search(rel):
            check_includes(root, rel, errors)
    check_links(root, [rel for rel in files if os.path.basename(rel) == "CMakeLists.txt"], errors)
    check_map(root, errors)
    return errors


def self_test():
    """A tree with one fault of each kind must give exactly those faults."""
    tree = {
        "platform/types/CMakeLists.txt": "kelt_library(kelt_types platform/types A.cpp)\n",
        "platform/types/A.cpp": '#include "A.h"\n#include "platform/sql/S.h"\n',
        "platform/sql/CMakeLists.txt": "kelt_library(kelt_sql platform/sql S.cpp)\n"
                                       "target_link_libraries(kelt_sql PUBLIC kelt_types)\n",
        "replication/master_data/M.cpp": '#include "replication/transactions/T.h"\n#include "../x.h"\n',
        "replication/master_data/CMakeLists.txt": "kelt_library(kelt_md replication/master_data M.cpp)\n"
                                                  "target_link_libraries(kelt_md\n  PUBLIC kelt_sql kelt_app)\n",
        "tools/appserver/S.cpp": '#include "remote/wire/W.h"\n#include "remote/B.h"\n',
        "app/CMakeLists.txt": "kelt_library(kelt_app app U.cpp) # kelt_library(kelt_x app)\n",
        "app/U.cpp": '#include "tests/support/X.h"\n#include "nowhere/N.h"\n',
        "tests/T.cpp": '#include "app/U.h"\n',
        "docs/architecture.md": " ".join(f"`{folder}/`" for folder in RANK if folder != "update"),
    }
    expected = [
        'platform/types/A.cpp:2: includes "platform/sql/S.h": platform/sql is above platform/types',
        'replication/master_data/M.cpp:1: includes "replication/transactions/T.h": '
        "replication/transactions is beside replication/master_data in the same layer",
        'replication/master_data/M.cpp:2: includes "../x.h": name the folder from the project root',
        'tools/appserver/S.cpp:2: includes "remote/B.h": tools/appserver may use only',
        'app/U.cpp:1: includes "tests/support/X.h": the program never includes tests/',
        'app/U.cpp:2: includes "nowhere/N.h": nowhere has no layer',
        "replication/master_data/CMakeLists.txt:2: kelt_md links kelt_app: app is above replication/master_data",
        "docs/architecture.md: does not name `update/`",
    ]
    with tempfile.TemporaryDirectory() as root:
        for rel, text in tree.items():
            os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w", encoding="utf-8") as f:
                f.write(text)
        errors = check(root)
    missing = [e for e in expected if not any(found.startswith(e) for found in errors)]
    extra = [found for found in errors if not any(found.startswith(e) for e in expected)]
    for e in missing:
        print(f"self-test: not reported: {e}")
    for e in extra:
        print(f"self-test: reported wrongly: {e}")
    return 1 if missing or extra else 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    if len(argv) > 2 or (len(argv) == 2 and argv[1].startswith("-")):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    root = argv[1] if len(argv) == 2 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    errors = check(os.path.abspath(root))
    for e in errors:
        print(e)
    if errors:
        print(f"{len(errors)} use(s) against the layers (docs/architecture.md)")
        return 1
    print("layering: every include and link points down the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/python3
"""Fails when a file of src/ includes a header of a module above its own.

The allowed dependencies are the table in src/layers.txt: "folder: folders
it may include from". Usage: check_layers.py [src-dir]; --self-test checks
that a back-up include in a scratch tree is caught."""
import os
import re
import sys
import tempfile

INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/[^"]+"', re.M)


def read_layers(src):
    layers = {}
    with open(os.path.join(src, "layers.txt")) as f:
        for line in f:
            m = re.match(r"^([a-z]+):(.*)$", line)
            if m:
                layers[m.group(1)] = set(m.group(2).split())
    return layers


def violations(src):
    layers = read_layers(src)
    found = []
    for folder, allowed in sorted(layers.items()):
        root = os.path.join(src, folder)
        if not os.path.isdir(root):
            found.append(f"{folder}/: listed in layers.txt but missing")
            continue
        for name in sorted(os.listdir(root)):
            if not name.endswith((".h", ".cc")):
                continue
            with open(os.path.join(root, name), encoding="utf-8") as f:
                for target in INCLUDE.findall(f.read()):
                    if target not in (folder, "netrove") and target not in allowed:
                        found.append(f"{folder}/{name} includes {target}/ (allowed: "
                                     f"{', '.join(sorted(allowed)) or 'none'})")
    for name in sorted(os.listdir(src)):
        if os.path.isdir(os.path.join(src, name)) and name not in layers:
            found.append(f"{name}/: a folder of src/ without a line in layers.txt")
    return found


def self_test():
    with tempfile.TemporaryDirectory() as src:
        with open(os.path.join(src, "layers.txt"), "w") as f:
            f.write("runtime:\nnet: runtime\n")
        for folder, text in (("runtime", '#include "net/socket.h"\n'),
                             ("net", '#include "runtime/env.h"\n')):
            os.mkdir(os.path.join(src, folder))
            with open(os.path.join(src, folder, "a.cc"), "w") as f:
                f.write(text)
        found = violations(src)
        return found == ["runtime/a.cc includes net/ (allowed: none)"]


if __name__ == "__main__":
    if sys.argv[1:] == ["--self-test"]:
        ok = self_test()
        print("self-test", "passed" if ok else "FAILED: a back-up include went unnoticed")
        sys.exit(0 if ok else 1)
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "src")
    problems = violations(src)
    for p in problems:
        print(p)
    print(f"{len(problems)} include(s) against src/layers.txt")
    sys.exit(1 if problems else 0)

#!/usr/bin/env python3
"""Generates the per-packet-type code of scanlib from the packet catalogue.

The catalogue (scanlib/src/qodataspec.json) is the one place where the 250
packet layouts live; everything that exists once per packet type is emitted
here. Outputs are written only when their content changes, so an unchanged
catalogue does not trigger rebuilds.

usage: gen_catalogue.py CATALOGUE OUTDIR
"""
import json
import os
import sys

NTYPES = 251

# Selector names in declaration order; "none" and "all" are not classes.
CLASSES = [
    "protocol", "attribute", "instrument", "data", "scan", "debug", "wave",
    "startcond", "deprecated", "lidar", "internal", "status", "ttip",
    "packed", "notify", "legacy",
]


class CatalogueError(Exception):
    pass


def load(path):
    with open(path, encoding="utf-8") as f:
        packets = json.load(f)
    validate(packets)
    return packets


def validate(packets):
    if len(packets) != NTYPES - 1:
        raise CatalogueError(f"expected {NTYPES - 1} packet types, found {len(packets)}")
    names, ids = set(), set()
    for t, p in enumerate(packets, start=1):
        if p["type"] != t:
            raise CatalogueError(f"type numbers must run 1..{NTYPES - 1} in order: {p['name']}")
        if p["name"] in names or p["name"] == "unknown":
            raise CatalogueError(f"duplicate name {p['name']}")
        names.add(p["name"])
        key = tuple(p["id"])
        if key in ids or key == (0, 0):
            raise CatalogueError(f"duplicate id {key} ({p['name']})")
        ids.add(key)
        if not p["classes"]:
            raise CatalogueError(f"{p['name']} belongs to no class")
        for c in p["classes"]:
            if c not in CLASSES:
                raise CatalogueError(f"{p['name']}: unknown class {c}")
    families = {}
    for p in packets:
        families.setdefault(p["id"][0], []).append(p["id"][1])
    for main, subs in families.items():
        if len(subs) > 1 and sorted(subs) != list(range(len(subs))):
            raise CatalogueError(f"main {main}: subs must be 0..n-1, found {sorted(subs)}")


def write_if_changed(path, text):
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


HEADER = "// Generated from the packet catalogue by cmake/gen_catalogue.py. Do not edit.\n"


def gen_types(packets):
    """X-macro list of every packet type: SCANLIB_PACKET(type, name, main, sub)."""
    lines = [HEADER]
    for p in packets:
        lines.append(f"SCANLIB_PACKET({p['type']}, {p['name']}, {p['id'][0]}, {p['id'][1]})\n")
    return "".join(lines)


def gen_selectors(packets):
    """X-macro list of the class selectors: SCANLIB_SELECTOR(class, "bits").

    The bit text is in std::bitset string order: the leftmost character is
    type 250, the rightmost type 0.
    """
    lines = [HEADER]
    for c in CLASSES:
        bits = ["0"] * NTYPES
        for p in packets:
            if c in p["classes"]:
                bits[p["type"]] = "1"
        lines.append(f'SCANLIB_SELECTOR({c}, "{"".join(reversed(bits))}")\n')
    return "".join(lines)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    try:
        packets = load(argv[1])
    except (CatalogueError, KeyError, ValueError) as e:
        sys.stderr.write(f"{argv[1]}: invalid packet catalogue: {e}\n")
        return 1
    out = os.path.join(argv[2], "scanlib", "generated")
    os.makedirs(out, exist_ok=True)
    write_if_changed(os.path.join(out, "packet_types.inc"), gen_types(packets))
    write_if_changed(os.path.join(out, "selectors.inc"), gen_selectors(packets))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Generates the per-packet-type code of scanlib from the packet catalogue.

The catalogue (scanlib/src/qodataspec.json) is the one place where the 250
packet layouts live; everything that exists once per packet type is emitted
here. Outputs are written only when their content changes, so an unchanged
catalogue does not trigger rebuilds.

Catalogue format: a JSON array with one object per packet type, in type order:
  "type"        package_id::type number (1..250, in order)
  "name"        packet name (the name of its view template)
  "id"          [main, sub]
  "classes"     class selectors the type belongs to (at least one)
  "fields"      fixed members in layout order, each "NOTATION NAME":
                  u16:32    unsigned, 16 bits at body bit 32 (widths 1..64)
                  i12:208   signed, two's complement
                  f32:0     IEEE float (f32) or double (f64)
                  c16:0     text of 16 characters (8 bits each) from bit 0
                  [f32:96 x3]  array of 3 elements from bit 96
  "fixed_words" optional; when given, the words that hold the fixed fields
  "seq"         optional trailing sequence: "name", "at" (start bit),
                "bits" (element width), "max" (largest count a strict reader
                accepts), "fields" (element fields, bits relative to the
                element; "ch8:0" is one character)
  "handler_group" optional, 1 or 2 (default 2): the visitor declares the
                handlers of group 1 first, each group in type order

usage: gen_catalogue.py CATALOGUE OUTDIR
"""
import json
import keyword
import os
import re
import sys

NTYPES = 251

# Selector names in declaration order; "none" and "all" are not classes.
CLASSES = [
    "protocol", "attribute", "instrument", "data", "scan", "debug", "wave",
    "startcond", "deprecated", "lidar", "internal", "status", "ttip",
    "packed", "notify", "legacy",
]

# Names a field must not take: the views' own members and C++ keywords.
RESERVED = {
    "count", "element", "member_count", "for_each_member", "packet_type",
    "packet_name", "main_id", "sub_id", "size_info", "has_sequence",
    "sequence_capacity", "sequence_member",
}
CXX_KEYWORDS = set("""
alignas alignof and and_eq asm auto bitand bitor bool break case catch char char8_t char16_t
char32_t class compl concept const consteval constexpr constinit const_cast continue co_await
co_return co_yield decltype default delete do double dynamic_cast else enum explicit export
extern false float for friend goto if inline int long mutable namespace new noexcept not not_eq
nullptr operator or or_eq private protected public register reinterpret_cast requires return
short signed sizeof static static_assert static_cast struct switch template this thread_local
throw true try typedef typeid typename union unsigned using virtual void volatile wchar_t while
xor xor_eq final override import module
""".split())

IDENT = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")
SCALAR = re.compile(r"^([uif])(\d+):(\d+)$")
TEXT = re.compile(r"^c(\d+):(\d+)$")
CHAR = re.compile(r"^ch8:(\d+)$")
ARRAY = re.compile(r"^\[([uif])(\d+):(\d+) x(\d+)\]$")


class CatalogueError(Exception):
    pass


class Member:
    """One fixed field, array, text or (in an element) character.

    kind: 'F' scalar field, 'A' numeric array, 'T' text, 'C' one character.
    """

    def __init__(self, kind, letter, width, bit, count, name):
        self.kind, self.letter, self.width = kind, letter, width
        self.bit, self.count, self.name = bit, count, name

    @property
    def end(self):
        return self.bit + self.width * self.count

    def shape(self):
        return (self.kind, self.letter, self.width, self.bit, self.count, self.name)


def parse_member(text, where, in_element):
    notation, _, name = text.rpartition(" ")
    if not notation or not IDENT.match(name):
        raise CatalogueError(f"{where}: '{text}' must be 'NOTATION NAME'")
    if name in CXX_KEYWORDS or name in RESERVED or name.startswith("__"):
        raise CatalogueError(f"{where}: field name '{name}' is reserved")
    if m := SCALAR.match(notation):
        member = Member("F", m[1], int(m[2]), int(m[3]), 1, name)
    elif m := ARRAY.match(notation):
        member = Member("A", m[1], int(m[2]), int(m[3]), int(m[4]), name)
        if member.count < 1:
            raise CatalogueError(f"{where}: '{text}' has no elements")
    elif m := TEXT.match(notation):
        member = Member("T", "c", 8, int(m[2]), int(m[1]), name)
        if member.count < 1:
            raise CatalogueError(f"{where}: '{text}' has no characters")
    elif (m := CHAR.match(notation)) and in_element:
        member = Member("C", "c", 8, int(m[1]), 1, name)
    else:
        raise CatalogueError(f"{where}: cannot read field '{text}'")
    if member.letter == "f" and member.width not in (32, 64):
        raise CatalogueError(f"{where}: '{text}': floating point fields are 32 or 64 bits")
    if member.letter == "u" and not 1 <= member.width <= 64:
        raise CatalogueError(f"{where}: '{text}': unsigned widths are 1 to 64")
    if member.letter == "i" and not 2 <= member.width <= 64:
        raise CatalogueError(f"{where}: '{text}': signed widths are 2 to 64")
    return member


def check_disjoint(members, where):
    spans = sorted((m.bit, m.end, m.name) for m in members)
    for (b0, e0, n0), (b1, e1, n1) in zip(spans, spans[1:]):
        if b1 < e0:
            raise CatalogueError(f"{where}: fields {n0} and {n1} overlap")


def check_unique(names, where):
    seen = set()
    for n in names:
        if n in seen:
            raise CatalogueError(f"{where}: two members are named {n}")
        seen.add(n)


class Sequence:
    def __init__(self, raw, where):
        self.name = raw["name"]
        if not IDENT.match(self.name) or self.name in CXX_KEYWORDS or self.name in RESERVED:
            raise CatalogueError(f"{where}: bad sequence name '{self.name}'")
        self.at, self.bits, self.max = int(raw["at"]), int(raw["bits"]), int(raw["max"])
        if self.at < 0 or self.bits < 1 or self.max < 1:
            raise CatalogueError(f"{where}: sequence needs at >= 0, bits >= 1, max >= 1")
        self.fields = [parse_member(f, f"{where} element", True) for f in raw["fields"]]
        if not self.fields:
            raise CatalogueError(f"{where}: sequence element without fields")
        for f in self.fields:
            if f.kind not in "FC":
                raise CatalogueError(f"{where}: element field {f.name} must be a scalar")
            if f.end > self.bits:
                raise CatalogueError(
                    f"{where}: element field {f.name} (bits {f.bit}..{f.end - 1}) "
                    f"lies outside the {self.bits}-bit element")
        check_disjoint(self.fields, f"{where} element")
        check_unique([f.name for f in self.fields], f"{where} element")

    def shape(self):
        return (self.name, self.at, self.bits, self.max, [f.shape() for f in self.fields])


class Packet:
    def __init__(self, raw):
        self.type, self.name = raw["type"], raw["name"]
        where = self.name
        if not IDENT.match(self.name) or self.name in CXX_KEYWORDS:
            raise CatalogueError(f"bad packet name '{self.name}'")
        self.main, self.sub = (int(x) for x in raw["id"])
        if not (0 <= self.main <= 0xFFFF and 0 <= self.sub <= 0xFFFF):
            raise CatalogueError(f"{where}: id halves are 16-bit numbers")
        self.classes = raw["classes"]
        # The visitor declares its handlers in two groups, each in type order;
        # the order fixes the virtual slots.
        self.handler_group = raw.get("handler_group", 2)
        if self.handler_group not in (1, 2):
            raise CatalogueError(f"{where}: handler_group is 1 or 2")
        self.fields = [parse_member(f, where, False) for f in raw.get("fields", [])]
        self.seq = Sequence(raw["seq"], where) if "seq" in raw else None
        check_disjoint(self.fields, where)
        check_unique([f.name for f in self.fields] + ([self.seq.name] if self.seq else []), where)
        end = max((f.end for f in self.fields), default=0)
        if self.seq:
            if end > self.seq.at:
                raise CatalogueError(f"{where}: fixed fields reach into the sequence at bit {self.seq.at}")
            self.fixed_words = (self.seq.at + 31) // 32
            if "fixed_words" in raw:
                raise CatalogueError(f"{where}: a sequence type has no fixed size")
        else:
            self.fixed_words = (end + 31) // 32
            if raw.get("fixed_words", self.fixed_words) != self.fixed_words:
                raise CatalogueError(
                    f"{where}: fixed_words {raw['fixed_words']} but the fields need {self.fixed_words}")


def load(path):
    with open(path, encoding="utf-8") as f:
        raw = json.load(f)
    if not isinstance(raw, list):
        raise CatalogueError("the catalogue is a JSON array of packets")
    packets = [Packet(p) for p in raw]
    validate(packets)
    return packets


def validate(packets):
    if len(packets) != NTYPES - 1:
        raise CatalogueError(f"expected {NTYPES - 1} packet types, found {len(packets)}")
    names, ids = set(), set()
    for t, p in enumerate(packets, start=1):
        if p.type != t:
            raise CatalogueError(f"type numbers must run 1..{NTYPES - 1} in order: {p.name}")
        if p.name in names or p.name == "unknown":
            raise CatalogueError(f"duplicate name {p.name}")
        names.add(p.name)
        key = (p.main, p.sub)
        if key in ids or key == (0, 0):
            raise CatalogueError(f"duplicate id {key} ({p.name})")
        ids.add(key)
        if not p.classes:
            raise CatalogueError(f"{p.name} belongs to no class")
        if len(set(p.classes)) != len(p.classes):
            raise CatalogueError(f"{p.name}: a class is listed twice")
        for c in p.classes:
            if c not in CLASSES:
                raise CatalogueError(f"{p.name}: unknown class {c}")
    for members in families(packets).values():
        subs = [p.sub for p in members]
        # A lone type may carry any sub (the datagram separator does).
        if len(subs) > 1 and subs != list(range(len(subs))):
            raise CatalogueError(f"main {members[0].main}: subs must be 0..n-1, found {subs}")
        for old, new in zip(members, members[1:]):
            check_extension(old, new)


def families(packets):
    """Packets by main id, each list ordered by sub."""
    out = {}
    for p in packets:
        out.setdefault(p.main, []).append(p)
    for members in out.values():
        members.sort(key=lambda p: p.sub)
    return out


def check_extension(old, new):
    """A newer sub repeats every field of the older one unchanged and appends
    its own after them, so an older view reads a newer packet's leading fields."""
    where = f"{new.name} extends {old.name}"
    k = len(old.fields)
    if [f.shape() for f in new.fields[:k]] != [f.shape() for f in old.fields]:
        raise CatalogueError(f"{where}: the first {k} fields must equal those of {old.name} "
                             "(bit, width, type and name)")
    old_end = max((f.end for f in old.fields), default=0)
    for f in new.fields[k:]:
        if f.bit < old_end:
            raise CatalogueError(f"{where}: new field {f.name} lies before the end of the older fields")
    if old.seq:
        if not new.seq or new.seq.shape() != old.seq.shape() or len(new.fields) != k:
            raise CatalogueError(f"{where}: an older sequence must be repeated unchanged")
    elif new.seq and new.seq.at < old_end:
        raise CatalogueError(f"{where}: the sequence starts before the end of the older fields")


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
        lines.append(f"SCANLIB_PACKET({p.type}, {p.name}, {p.main}, {p.sub})\n")
    return "".join(lines)


def gen_handlers(packets):
    """X-macro list of the visitor's typed handlers in declaration order:
    SCANLIB_HANDLER(type, name), the first group before the second."""
    lines = [HEADER]
    for p in sorted(packets, key=lambda p: (p.handler_group, p.type)):
        lines.append(f"SCANLIB_HANDLER({p.type}, {p.name})\n")
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
            if c in p.classes:
                bits[p.type] = "1"
        lines.append(f'SCANLIB_SELECTOR({c}, "{"".join(reversed(bits))}")\n')
    return "".join(lines)


def gen_sizes(packets):
    """The per-type size table, usable in constant expressions."""
    max_fixed = max(p.fixed_words for p in packets if not p.seq)
    rows = ["    {0, 0, 0, 0},  // unknown\n"]
    for p in packets:
        if p.seq:
            rows.append(f"    {{{p.fixed_words}, {p.seq.at}, {p.seq.bits}, {p.seq.max}}},  // {p.name}\n")
        else:
            rows.append(f"    {{{p.fixed_words}, 0, 0, 0}},  // {p.name}\n")
    return f"""{HEADER}#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace scanlib {{

// Size of one packet type's body layout.
struct packet_size {{
    // Words that hold the fixed fields (for a sequence type: the words
    // before the sequence start, rounded up).
    std::uint32_t fixed_words;
    // For a type that ends in a sequence: the bit where element 0 starts,
    // the element width in bits and the largest count a strict reader
    // accepts; all 0 otherwise.
    std::uint32_t sequence_bit;
    std::uint32_t element_bits;
    std::uint32_t max_count;

    constexpr bool has_sequence() const noexcept {{ return element_bits != 0; }}
}};

// Indexed by package_id::type; entry 0 is the type "unknown".
inline constexpr std::array<packet_size, {NTYPES}> packet_sizes{{{{
{"".join(rows)}}}}};

// The longest fixed part of a type without a sequence, in words.
inline constexpr std::size_t max_fixed_words = {max_fixed};

}}  // namespace scanlib
"""


def gen_layout(packets):
    """X-macro description of every member, straight from the catalogue."""
    lines = [HEADER, """// Define the macros you need before including; the others expand to nothing.
// SCANLIB_LAYOUT_FIELD(type, index, name, kind, letter, width, bit, count)
//   kind 'F' scalar, 'A' numeric array, 'T' text; letter 'u', 'i', 'f', 'c'
// SCANLIB_LAYOUT_SEQUENCE(type, name, bit, element_bits, max_count)
// SCANLIB_LAYOUT_ELEMENT(type, index, name, kind, letter, width, bit)
//   kind 'F' scalar, 'C' one character; bit relative to the element start
// SCANLIB_LAYOUT_FAMILY(older_type, newer_type, older_name, newer_name)
//   every pair of subs of one main id, older sub first
#ifndef SCANLIB_LAYOUT_FIELD
#define SCANLIB_LAYOUT_FIELD(type, index, name, kind, letter, width, bit, count)
#endif
#ifndef SCANLIB_LAYOUT_SEQUENCE
#define SCANLIB_LAYOUT_SEQUENCE(type, name, bit, element_bits, max_count)
#endif
#ifndef SCANLIB_LAYOUT_ELEMENT
#define SCANLIB_LAYOUT_ELEMENT(type, index, name, kind, letter, width, bit)
#endif
#ifndef SCANLIB_LAYOUT_FAMILY
#define SCANLIB_LAYOUT_FAMILY(older_type, newer_type, older_name, newer_name)
#endif
"""]
    for p in packets:
        for i, f in enumerate(p.fields):
            lines.append(f"SCANLIB_LAYOUT_FIELD({p.type}, {i}, {f.name}, '{f.kind}', '{f.letter}', "
                         f"{f.width}, {f.bit}, {f.count})\n")
        if p.seq:
            s = p.seq
            lines.append(f"SCANLIB_LAYOUT_SEQUENCE({p.type}, {s.name}, {s.at}, {s.bits}, {s.max})\n")
            for i, f in enumerate(s.fields):
                lines.append(f"SCANLIB_LAYOUT_ELEMENT({p.type}, {i}, {f.name}, '{f.kind}', '{f.letter}', "
                             f"{f.width}, {f.bit})\n")
    for members in families(packets).values():
        for i, old in enumerate(members):
            for new in members[i + 1:]:
                lines.append(f"SCANLIB_LAYOUT_FAMILY({old.type}, {new.type}, {old.name}, {new.name})\n")
    lines.append("#undef SCANLIB_LAYOUT_FIELD\n#undef SCANLIB_LAYOUT_SEQUENCE\n"
                 "#undef SCANLIB_LAYOUT_ELEMENT\n#undef SCANLIB_LAYOUT_FAMILY\n")
    return "".join(lines)


# A value record keeps a sequence's elements inline up to this many bytes;
# longer sequences (waveforms, blobs, parameter text) stay out of the record.
RECORD_SEQUENCE_BYTES = 4096


def value_type(m):
    if m.letter == "c":
        return "char"
    if m.letter == "f":
        return "float" if m.width == 32 else "double"
    for bits, u, s in ((8, "unsigned char", "signed char"), (16, "unsigned short", "short"),
                       (32, "unsigned int", "int"), (64, "unsigned long", "long")):
        if m.width <= bits:
            return u if m.letter == "u" else s
    raise AssertionError


def value_size(m):
    return {"char": 1, "unsigned char": 1, "signed char": 1, "unsigned short": 2, "short": 2,
            "unsigned int": 4, "int": 4, "float": 4, "unsigned long": 8, "long": 8,
            "double": 8}[value_type(m)]


def base_type(m):
    stored = {"u": "unsigned int", "i": "int", "f": "float", "c": "unsigned int"}[m.letter]
    return f"binary::base_type<{stored}, {m.width}, binary::little>"


def accessor(m, iterator="Iter"):
    t = value_type(m)
    if m.kind in "FC":
        return f"binary::field<{t}, {base_type(m)}, {m.bit}, {iterator}>"
    return f"binary::array<{t}, {m.count}, {base_type(m)}, {m.bit}, {iterator}>"


def record_type(m):
    t = value_type(m)
    return t if m.kind in "FC" else f"std::array<{t}, {m.count}>"


def record_bytes(seq):
    """sizeof of the element record, by the usual alignment rules."""
    off, align = 0, 1
    for f in seq.fields:
        s = value_size(f)
        off = (off + s - 1) // s * s + s
        align = max(align, s)
    return (off + align - 1) // align * align


def inline_capacity(p):
    if p.seq and p.seq.max * record_bytes(p.seq) <= RECORD_SEQUENCE_BYTES:
        return p.seq.max
    return 0


def visitor(names, indent):
    """for_each_member: f(name, member) for every member, in catalogue order."""
    calls = "".join(f'{indent}    f("{n}", self.{n});\n' for n in names)
    return (f"{indent}static constexpr std::size_t member_count = {len(names)};\n"
            f"{indent}template<class Self, class F>\n"
            f"{indent}static constexpr void for_each_member([[maybe_unused]] Self&& self, [[maybe_unused]] F&& f)\n"
            f"{indent}{{\n{calls}{indent}}}\n")


def copies(fields, indent, load):
    """Statements copying fields between a view (or element) and a record r."""
    out = []
    for f in fields:
        if f.kind in "FC":
            out.append(f"{indent}r.{f.name} = {f.name};\n" if load else f"{indent}{f.name} = r.{f.name};\n")
        elif load:
            out.append(f"{indent}detail::load_array(r.{f.name}, {f.name});\n")
        else:
            out.append(f"{indent}detail::store_array({f.name}, r.{f.name});\n")
    return "".join(out)


def statics(p, indent="    "):
    return (f"{indent}static constexpr unsigned packet_type = {p.type};\n"
            f'{indent}static constexpr char const* packet_name = "{p.name}";\n'
            f"{indent}static constexpr unsigned main_id = {p.main};\n"
            f"{indent}static constexpr unsigned sub_id = {p.sub};\n"
            f"{indent}static constexpr bool has_sequence = {'true' if p.seq else 'false'};\n"
            f"{indent}static constexpr packet_size size_info = packet_sizes[{p.type}];\n")


def gen_record(p):
    """The value record: the packet's fields as plain members."""
    out = [f"template<>\nstruct {p.name}<void> {{\n", statics(p)]
    cap = inline_capacity(p)
    out.append(f"    static constexpr std::size_t sequence_capacity = {cap};\n")
    if p.seq:
        out.append("    struct element {\n")
        for f in p.seq.fields:
            out.append(f"        {record_type(f)} {f.name}{{}};\n")
        out.append(visitor([f.name for f in p.seq.fields], "        "))
        out.append("    };\n")
    for f in p.fields:
        out.append(f"    {record_type(f)} {f.name}{{}};\n")
    if cap:
        out.append(f"    std::uint64_t count{{}};\n")
        out.append(f"    std::array<element, {cap}> {p.seq.name}{{}};\n")
        out.append(f"    static constexpr auto sequence_member = &{p.name}::{p.seq.name};\n")
    out.append(visitor([f.name for f in p.fields], "    "))
    out.append("};\n\n")
    return "".join(out)


def gen_view(p):
    name = p.name
    out = [f"template<class Iter>\nstruct {name} {{\n", statics(p)]
    if p.seq:
        s = p.seq
        out.append("    struct element {\n")
        for f in s.fields:
            out.append(f"        {accessor(f)} {f.name};\n")
        inits = ", ".join(f"{f.name}(words, base)" for f in s.fields)
        out.append(f"        element(Iter words, unsigned base) : {inits} {{}}\n")
        out.append(visitor([f.name for f in s.fields], "        "))
        out.append(f"        operator typename {name}<void>::element() const\n        {{\n"
                   f"            typename {name}<void>::element r;\n"
                   f"{copies(s.fields, '            ', True)}"
                   f"            return r;\n        }}\n")
        out.append(f"        element const& operator=(typename {name}<void>::element const& r) const\n"
                   f"            requires writable_words<Iter>\n"
                   f"        {{\n{copies(s.fields, '            ', False)}"
                   f"            return *this;\n        }}\n")
        out.append("    };\n")
        out.append("    std::int64_t count = 0;  // set by the sequence below\n")
    for f in p.fields:
        out.append(f"    {accessor(f)} {f.name};\n")
    if p.seq:
        out.append(f"    binary::sequence<element, {p.seq.bits}, {p.seq.at}, Iter> {p.seq.name};\n")
        out.append(f"    static constexpr auto sequence_member = &{name}::{p.seq.name};\n")
    inits = [f"{f.name}(begin)" for f in p.fields]
    if p.seq:
        inits.append(f"{p.seq.name}(begin, end, count)")
        params = "Iter begin, Iter end"
    else:
        params = "Iter begin, Iter" if p.fields else "Iter, Iter"
    init = (" : " + ", ".join(inits)) if inits else ""
    out.append(f"    {name}({params}){init} {{}}\n")
    member_names = [f.name for f in p.fields] + ([p.seq.name] if p.seq else [])
    out.append(visitor(member_names, "    "))
    cap = inline_capacity(p)
    load_seq = store_seq = ""
    if cap:
        sn = p.seq.name
        load_seq = (f"        r.count = static_cast<std::uint64_t>(count) < r.{sn}.size()\n"
                    f"            ? static_cast<std::uint64_t>(count) : r.{sn}.size();\n"
                    f"        for (std::size_t i = 0; i < r.count; ++i)\n            r.{sn}[i] = {sn}[i];\n")
        store_seq = (f"        std::uint64_t const n = r.count < static_cast<std::uint64_t>(count)\n"
                     f"            ? r.count : static_cast<std::uint64_t>(count);\n"
                     f"        for (std::size_t i = 0; i < n && i < r.{sn}.size(); ++i)\n            {sn}[i] = r.{sn}[i];\n")
    out.append(f"    operator {name}<void>() const\n    {{\n        {name}<void> r;\n"
               f"{copies(p.fields, '        ', True)}{load_seq}        return r;\n    }}\n")
    out.append(f"    {name} const& operator=([[maybe_unused]] {name}<void> const& r) const\n        requires writable_words<Iter>\n"
               f"    {{\n{copies(p.fields, '        ', False)}{store_seq}        return *this;\n    }}\n")
    out.append("};\n\n")
    return "".join(out)


def gen_packets(packets):
    out = [HEADER, """#pragma once

// The packet views: one class template per packet type, named as the packet.
//   name<unsigned int const*>  read view over a body [begin, end)
//   name<unsigned int*>        writable view; assigning a name<void> stores
//                              every fixed field (and the record's elements)
//   name<void>                 value record: the fields as plain members in
//                              catalogue order
// Members of a view are binary::field / binary::array accessors bound to the
// body begin; a type that ends in a sequence has a binary::sequence member
// built from (begin, end), the element count `count` and, for generic code,
// `sequence_member` (a pointer to the sequence member). Generic code visits
// the members in catalogue order with scanlib::for_each_member
// (scanlib/packet_view.hpp).
// A value record of a sequence type holds `count` and the elements inline
// when all `max` of them fit in 4 KiB (sequence_capacity > 0); otherwise the
// record holds the fixed fields only. A body shorter than a sequence type's
// fixed part makes the view throw std::range_error ("Missing data for
// sequence."); a body shorter than another type's fixed part must be widened
// first (scanlib::padded_body), as the accessors read unchecked.

#include <array>
#include <cstddef>
#include <cstdint>

#include <binary/binary.hpp>
#include <scanlib/packet_view.hpp>

namespace scanlib {

"""]
    for p in packets:
        out.append(f"template<class Iter> struct {p.name};\n")
    out.append("\n")
    for p in packets:
        out.append(gen_record(p))
        out.append(gen_view(p))
    out.append("}  // namespace scanlib\n")
    return "".join(out)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    try:
        packets = load(argv[1])
    except KeyError as e:
        sys.stderr.write(f"{argv[1]}: invalid packet catalogue: an entry lacks the key {e}\n")
        return 1
    except (CatalogueError, ValueError, TypeError, AttributeError) as e:
        sys.stderr.write(f"{argv[1]}: invalid packet catalogue: {e}\n")
        return 1
    out = os.path.join(argv[2], "scanlib", "generated")
    os.makedirs(out, exist_ok=True)
    write_if_changed(os.path.join(out, "packet_types.inc"), gen_types(packets))
    write_if_changed(os.path.join(out, "packet_handlers.inc"), gen_handlers(packets))
    write_if_changed(os.path.join(out, "selectors.inc"), gen_selectors(packets))
    write_if_changed(os.path.join(out, "packet_sizes.hpp"), gen_sizes(packets))
    write_if_changed(os.path.join(out, "packet_layout.inc"), gen_layout(packets))
    write_if_changed(os.path.join(out, "packets.hpp"), gen_packets(packets))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

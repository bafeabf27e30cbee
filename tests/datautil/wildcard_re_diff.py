#!/usr/bin/env python3
"""Differential test of the wildcard matcher against Python's re.

Generates thousands of patterns in the product's pattern language, translates each
into a Python regular expression with the same backtracking order (greedy counts
that give back one character at a time, possessive counts for ">", empty groups for
marks), and checks that libqxcomn.s QXRegExecW gives the same answer and the same
mark positions for many names. Every third pattern goes to the older QXWReg family
instead, restricted to its subset (only the %W class). Usage: wildcard_re_diff.py path/to/libqxcomn.so
"""
import ctypes
import random
import re
import sys

lib = ctypes.CDLL(sys.argv[1])
lib.QXRegCompileW.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_void_p, ctypes.c_uint32]
lib.QXRegCompileW.restype = ctypes.c_int
lib.QXRegExecW.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
lib.QXRegExecW.restype = ctypes.c_int
lib.QXRegFree.argtypes = [ctypes.c_void_p]
lib.QXWRegCompile.argtypes = lib.QXRegCompileW.argtypes
lib.QXWRegCompile.restype = ctypes.c_int
lib.QXWRegExec.argtypes = lib.QXRegExecW.argtypes
lib.QXWRegExec.restype = ctypes.c_int


def utf16(text):
    data = text.encode("utf-16-le") + b"\0\0"
    buf = ctypes.create_string_buffer(data, len(data))
    return buf


CLASSES = {  # ASCII members of the classes used here (names are ASCII)
    "A": "[A-Za-z]", "D": "[0-9]", "U": "[A-Z]", "L": "[a-z]", "N": "[A-Za-z0-9]",
    "W": "[\\t\\n\\v\\f\\r ]",
}
LEGACY_CLASSES = {"W": CLASSES["W"]}  # the older family knows only %W
LITERALS = "abcAB."
SETS = [("[ab]", "[ab]"), ("[~a]", "[^a]"), ("[a-c]", "[a-c]"), ("[~0-9]", "[^0-9]"),
        ("[B1]", "[B1]")]


def random_element(rng, exact, classes):
    """One element: (pattern text, regex atom, default min, default max, is_mark)."""
    fold = "" if exact else "(?i:%s)"
    kind = rng.randrange(10)
    if kind <= 2:
        c = rng.choice(LITERALS)
        atom = re.escape(c)
        return c, (fold % atom if fold else atom), 1, 1, False
    if kind == 3:
        return "?", "(?s:.)", 1, 1, False
    if kind == 4:
        return "*", "(?s:.)", 0, 32767, False
    if kind == 5:
        text, rx = rng.choice(SETS)
        return text, (fold % rx if fold else rx), 1, 1, False
    if kind == 6:
        letter = rng.choice(sorted(classes))
        return "%" + letter, classes[letter], 1, 32767, False
    if kind == 7:
        n = rng.randrange(10)
        return "%%%d" % n, "(?P<m%d_%%d>)" % n, 0, 0, True
    if kind == 8:
        return ",", "", 0, 0, True
    c = rng.choice("ab1?*")  # quoted: itself (a quoted digit may follow a mark)
    atom = re.escape(c)
    return "`" + c, (fold % atom if fold else atom), 1, 1, False


def random_alternative(rng, exact, classes):
    text, regex, marks = "", "", []
    for i in range(rng.randrange(0, 6)):
        t, atom, lo, hi, special = random_element(rng, exact, classes)
        if special:
            if atom:
                marks.append(int(t[1:]))
                atom = atom % i
            text += t
            regex += atom
            continue
        if rng.random() < 0.35:
            form = rng.randrange(4)
            a = rng.randrange(0, 4)
            b = a + rng.randrange(0, 4)
            if form == 0:
                t += "{%d}" % a
                lo = hi = a
            elif form == 1:
                t += "{%d-%d}" % (a, b)
                lo, hi = a, b
            elif form == 2:
                t += "{%d-}" % a
                lo, hi = a, 32767
            else:
                t += "{%d-%d>}" % (a, b)
                lo, hi = a, b
                text += t
                regex += "(?:%s){%d,%d}+" % (atom, lo, hi)
                continue
        text += t
        regex += "(?:%s){%d,%d}" % (atom, lo, hi)
    # "*.*" at the end of an alternative means "*".
    if text.endswith("*.*") and not text.endswith("`*.*"):
        return None
    return text, re.compile(regex, re.ASCII | re.DOTALL)


def our_match(handle, name, legacy):
    buf = utf16(name)
    marks = (ctypes.c_void_p * 10)()
    rc = (lib.QXWRegExec if legacy else lib.QXRegExecW)(handle, buf, marks)
    base = ctypes.addressof(buf)
    got = {i: (marks[i] - base) // 2 for i in range(10) if marks[i]}
    return rc, got


def python_match(rx, name):
    m = rx.fullmatch(name)
    if not m:
        return 1, {}
    got = {}
    # Later marks of the same number overwrite earlier ones, as the search stores them.
    for group, index in sorted(rx.groupindex.items(), key=lambda kv: kv[1]):
        slot = int(group[1:].split("_")[0])
        if m.start(group) >= 0:
            got[slot] = m.start(group)
    return 0, got


def main():
    rng = random.Random(20261207)
    compared = patterns = 0
    for round in range(6000):
        legacy = round % 3 == 2  # every third pattern goes to the older family
        exact = rng.random() < 0.3
        made = random_alternative(rng, exact, LEGACY_CLASSES if legacy else CLASSES)
        if made is None:
            continue
        text, rx = made
        handle = ctypes.c_void_p()
        compile_call = lib.QXWRegCompile if legacy else lib.QXRegCompileW
        rc = compile_call(ctypes.byref(handle), utf16(text), 1 if exact else 0)
        if rc != 0:
            print("compile failed:", text, rc)
            return 1
        patterns += 1
        for _ in range(12):
            name = "".join(rng.choice("abcAB1.x?* ") for _ in range(rng.randrange(0, 9)))
            ours = our_match(handle, name, legacy)
            theirs = python_match(rx, name)
            if ours != theirs:
                print("MISMATCH legacy=%s pattern=%r exact=%s name=%r ours=%r re=%r regex=%r"
                      % (legacy, text, exact, name, ours, theirs, rx.pattern))
                return 1
            compared += 1
        lib.QXRegFree(handle)
    print("wildcard vs re: %d patterns, %d names compared, all equal" % (patterns, compared))
    return 0


if __name__ == "__main__":
    sys.exit(main())

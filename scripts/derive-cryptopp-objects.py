#!/usr/bin/env python3
"""Derives scripts/windows-cryptopp-objects: the members of Crypto++'s static
library that the Windows build links, so that scripts/build-windows.sh
compiles only those (about a third of the library) when its cache is cold.

Usage, after a Windows build against the whole library:

  VANTOR_CRYPTOPP_ALL=1 scripts/build-windows.sh
  scripts/derive-cryptopp-objects.py CACHE/libcryptopp-VERSION-all/lib/libcryptopp.a build-windows

It reads the symbols of the library's members and of every object file and
static library the build made (all of them, not only what one program
links, so the list is a superset of what any program needs), and follows
what the linker does: each symbol still undefined pulls in the first member
that defines it, whose own undefined symbols are then followed in turn.
When a later change needs a member that is not listed, the Windows link
fails with undefined references to CryptoPP symbols: derive the list again.
"""

import collections
import os
import subprocess
import sys

NM = "x86_64-w64-mingw32-nm"
HERE = os.path.dirname(os.path.abspath(__file__))
OUTPUT = os.path.join(HERE, "windows-cryptopp-objects")


def symbols(path):
    """{member or file: (defined, undefined)} of external symbols."""
    out = subprocess.run([NM, "-A", "-P", path], capture_output=True, text=True, check=True).stdout
    table = collections.defaultdict(lambda: (set(), set()))
    for line in out.splitlines():
        where, sep, rest = line.rpartition(": ")
        fields = rest.split()
        if not sep or len(fields) < 2:
            continue
        name, kind = fields[0], fields[1]
        if kind == "U":
            table[where][1].add(name)
        elif kind.isupper():
            table[where][0].add(name)
    return table


def member_name(where):
    # "lib.a[member.o]" as nm -A names archive members.
    return where[where.rindex("[") + 1:-1] if where.endswith("]") else os.path.basename(where)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    library, build = sys.argv[1], sys.argv[2]
    members = symbols(library)
    first_definer = {}
    for where, (defined, _) in members.items():
        for name in defined:
            first_definer.setdefault(name, where)

    defined, wanted = set(), set()
    for root, _, files in os.walk(build):
        for f in files:
            if f.endswith((".obj", ".a")) and "CompilerId" not in root:
                for d, u in symbols(os.path.join(root, f)).values():
                    defined |= d
                    wanted |= u
    needed = set()
    todo = wanted - defined
    while todo:
        name = todo.pop()
        where = first_definer.get(name)
        if where is None or where in needed or name in defined:
            continue
        needed.add(where)
        defined |= members[where][0]
        todo |= members[where][1] - defined
    names = sorted(member_name(w) for w in needed)
    with open(OUTPUT, "w") as f:
        f.write("# Crypto++ objects the Windows build links, derived by scripts/derive-cryptopp-objects.py\n")
        f.write(f"# ({len(names)} of the library's {len(members)}); one per line.\n")
        f.write("".join(n + "\n" for n in names))
    print(f"{len(names)} of {len(members)} members -> {OUTPUT}")


if __name__ == "__main__":
    main()

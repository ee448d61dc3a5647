#!/usr/bin/env bash
# Makes sure apt knows the Debian source package named by $1 (for
# `apt-get source`). When it does not, a deb-src entry is added for every
# Debian archive the machine already uses for binary packages (same URIs,
# suites, components and keys), then the package lists are updated.
# Safe to run again.
set -euo pipefail
PKG=${1:?usage: add-deb-src.sh SOURCE-PACKAGE}

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

have_source() {
  # Not piped into grep -q: an early exit of grep would fail the pipeline.
  local records
  records=$(apt-cache showsrc "$PKG" 2>/dev/null || true)
  grep -qxF "Package: $PKG" <<<"$records"
}

if ! have_source; then
  echo "add-deb-src: adding deb-src entries derived from the machine's Debian sources"
  entries=$(python3 - <<'PY'
import glob, os, re

def debian(uri):
    return "debian" in uri

out = []
# deb822 files: copy every stanza of binary Debian archives as deb-src.
for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
    if os.path.basename(path) == "vantor-deb-src.sources":
        continue
    text = open(path, encoding="utf-8", errors="replace").read()
    for stanza in re.split(r"\n\s*\n", text):
        fields, last = {}, None
        for line in stanza.splitlines():
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            if line[0] in " \t" and last:
                fields[last] += "\n" + line
                continue
            key, _, value = line.partition(":")
            last = key.strip()
            fields[last] = value.strip()
        types = fields.get("Types", "").split()
        if "deb" not in types or not debian(fields.get("URIs", "")):
            continue
        if fields.get("Enabled", "yes").lower() == "no":
            continue
        lines = ["Types: deb-src"]
        for key in ("URIs", "Suites", "Components", "Signed-By", "Architectures", "Trusted"):
            if key in fields:
                lines.append(f"{key}: {fields[key]}")
        out.append("\n".join(lines))
# One-line format: "deb [options] uri suite components..."
for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
    if not os.path.exists(path):
        continue
    for line in open(path, encoding="utf-8", errors="replace"):
        line = line.strip()
        m = re.match(r"deb\s+(\[[^\]]*\]\s+)?(\S+)\s+(\S+)\s*(.*)$", line)
        if not m or not debian(m.group(2)):
            continue
        opts = m.group(1) or ""
        signed = re.search(r"signed-by=(\S+?)\]?(\s|$)", opts)
        lines = ["Types: deb-src", f"URIs: {m.group(2)}", f"Suites: {m.group(3)}"]
        if m.group(4):
            lines.append(f"Components: {m.group(4)}")
        if signed:
            lines.append(f"Signed-By: {signed.group(1).rstrip(']')}")
        out.append("\n".join(lines))
print("\n\n".join(out))
PY
)
  if [ -z "$entries" ]; then
    echo "add-deb-src: no Debian archive found in the apt sources" >&2
    exit 1
  fi
  printf '%s\n' "$entries" | $SUDO tee /etc/apt/sources.list.d/vantor-deb-src.sources >/dev/null
  $SUDO apt-get update -qq
  have_source || { echo "add-deb-src: apt still knows no source package of $PKG" >&2; exit 1; }
fi

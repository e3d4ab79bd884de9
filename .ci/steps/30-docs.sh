#!/usr/bin/env bash
# Documentation and packaging: the man page renders cleanly, the install holds exactly the
# expected files, and the Debian package installs, runs and removes without leftovers.
set -euo pipefail
cd "$(dirname "$0")/../.."

# The release preset's settings, without the test suite (built and run twice already).
build=build/release-docs
cmake --preset release -B "$build" -DBUILD_TESTING=OFF
cmake --build "$build" -j2

for page in "$build/sonolift.1" "$build/sonoloud.1" "$build/sonolift-tree.1"; do
  [ -s "$page" ] || { echo "no man page $page was generated" >&2; exit 1; }
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "man reports problems in $page:" >&2
    echo "$warnings" >&2
    exit 1
  fi
done
bash -n completions/sonolift

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

prefix="$scratch/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
expected=(
  bin/sonolift
  bin/sonoloud
  share/bash-completion/completions/sonolift
  share/doc/sonolift/LICENSE
  share/doc/sonolift/README.md
  share/doc/sonolift/doc/sonoloud.md
  share/doc/sonolift/doc/sonolift-tree.md
  share/man/man1/sonolift.1
  share/man/man1/sonoloud.1
  bin/sonolift-tree
  bin/sonolift-meta
  share/man/man1/sonolift-tree.1
)
actual=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
wanted=$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)
if [ "$actual" != "$wanted" ]; then
  echo "the install does not hold exactly the expected files:" >&2
  diff <(echo "$wanted") <(echo "$actual") >&2 || true
  exit 1
fi
"$prefix/bin/sonolift" --version >/dev/null

(cd "$build" && cpack -G DEB -B "$scratch/package" >/dev/null)
deb=$(find "$scratch/package" -maxdepth 1 -name 'sonolift_*.deb' | head -n 1)
[ -n "$deb" ] || { echo "cpack made no .deb" >&2; exit 1; }
dpkg-deb --field "$deb" Package Maintainer Section

# Never leave the package behind, whatever fails below.
trap 'dpkg -r sonolift >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
dpkg -i "$deb"
/usr/bin/sonolift --version
files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|' | grep -v '/$')
dpkg -r sonolift
if dpkg-query -W -f '${Status}\n' sonolift 2>/dev/null | grep -q 'installed$'; then
  echo "the package is still installed after dpkg -r" >&2
  exit 1
fi
left=0
for f in $files; do
  if [ -e "$f" ] || [ -L "$f" ]; then
    echo "left behind after dpkg -r: $f" >&2
    left=1
  fi
done
[ "$left" -eq 0 ]
echo "docs and packaging: ok"

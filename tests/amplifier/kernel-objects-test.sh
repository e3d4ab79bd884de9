#!/usr/bin/env bash
# Fails when an object file built for an instruction set holds a weak or unique symbol (nm's W,
# V, u): an out-of-line library template or inline function, whose copy the linker may pick for
# every caller; or a static initialiser, which would run that set's instructions at start-up on
# any processor. clang's checks of indirect calls (UBSan) add weak type descriptions of the
# functions called, data that runs nowhere; those pass. Usage: kernel-objects-test.sh OBJECT...
set -euo pipefail
command -v nm >/dev/null || { echo "nm is missing (binutils)"; exit 77; }
status=0
for object in "$@"; do
  symbols=$(nm -C "$object") || { echo "nm cannot read $object"; exit 1; }
  if shared=$(grep -E '^[0-9a-f ]* ([WVu] |[tT] _GLOBAL__sub_I)' <<<"$symbols" | grep -Ev ' V typeinfo (name )?for '); then
    echo "$object holds symbols the linker may share with other objects, or a static initialiser:"
    echo "$shared"
    status=1
  fi
done
exit "$status"

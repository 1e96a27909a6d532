#!/usr/bin/env bash
# Prints the path of a CPython 3.12 interpreter: python3.12 on PATH, or one
# that pyenv installed but does not have active.
set -euo pipefail
if python3.12 -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
  command -v python3.12
  exit 0
fi
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for candidate in "$root"/versions/3.12*/bin/python3.12; do
  [ -x "$candidate" ] && { echo "$candidate"; exit 0; }
done
echo "CPython 3.12 not found (tried python3.12 and $root/versions/3.12*)" >&2
exit 1

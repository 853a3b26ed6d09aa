#!/usr/bin/env bash
# Fails when a source under src/ includes a header of a layer above its own. The layers,
# lowest first, are read from CMakeLists.txt (CORVAN_LAYERS), with gui on top; a folder may
# include its own headers and those of every layer before it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
read -r -a layers <<<"$(sed -n '/^set(CORVAN_LAYERS/,/)/p' CMakeLists.txt |
  tr -d '()' | sed 's/set CORVAN_LAYERS//' | tr '\n' ' ')"
layers+=(gui)
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

bad=0
for dir in src/*/; do
  layer=$(basename "$dir")
  if [ -z "${rank[$layer]:-}" ]; then
    echo "check-layers: src/$layer is not a layer in CMakeLists.txt" >&2
    bad=1
    continue
  fi
  while IFS=: read -r file line text; do
    inc=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/' <<<"$text")
    if [ -z "${rank[$inc]:-}" ]; then
      continue # a system or third-party header
    fi
    if [ "${rank[$inc]}" -gt "${rank[$layer]}" ]; then
      echo "check-layers: $file:$line: $layer includes the higher layer $inc: $text" >&2
      bad=1
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$dir" || true)
done
[ "$bad" -eq 0 ] && echo "check-layers: include direction holds in ${#layers[@]} layers"
exit "$bad"

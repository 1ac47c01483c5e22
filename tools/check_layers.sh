#!/usr/bin/env bash
# Checks the layer rule on every #include "dir/..." of the program's sources:
#
#   platform <- util <- (db, engine) <- log <- chain <- (maintenance, front)
#            <- panel <- startup
#
# A folder may include itself and any folder to its left; the folders in
# one pair of parentheses do not include each other, and nothing but
# startup includes startup. Prints file:line and the forbidden edge for
# every violation; exits 1 when there is one.
#
# Usage: tools/check_layers.sh [source root]   (default: the repository root)
set -u

root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root" || exit 2

declare -A rank=(
  [platform]=0 [util]=1 [db]=2 [engine]=2 [log]=3 [chain]=4
  [maintenance]=5 [front]=5 [panel]=6 [startup]=7
)
folders=(platform util db engine log chain front maintenance panel startup)

violations=0
checked=0
for folder in "${folders[@]}"; do
  [[ -d $folder ]] || continue
  while IFS= read -r file; do
    while IFS=: read -r line target; do
      checked=$((checked + 1))
      [[ -n ${rank[$target]+set} ]] || continue  # not one of the layers
      [[ $target == "$folder" ]] && continue
      if ((rank[$target] >= rank[$folder])); then
        echo "$file:$line: $folder -> $target"
        violations=$((violations + 1))
      fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[a-z_]+/' "$file" |
      sed -E 's|^([0-9]+):[^"]*"([a-z_]+)/.*|\1:\2|')
  done < <(find "$folder" -type f \( -name '*.cc' -o -name '*.h' \) | LC_ALL=C sort)
done

if ((violations > 0)); then
  echo "check_layers: $violations forbidden include(s)"
  exit 1
fi
echo "check_layers: all $checked folder includes follow the layer rule"

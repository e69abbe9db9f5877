#!/bin/bash
# The product's folders use each other in one order only: a folder may include headers of the
# folders after it in LAYERS, never of one before it. Prints every include that breaks the order.
# usage: folder_layers.sh SRC_DIR
set -u
src=$1
LAYERS=(driver phases copies run protocol config trace platform serial console os payload base)
rank() { local i; for i in "${!LAYERS[@]}"; do [ "${LAYERS[$i]}" = "$1" ] && echo "$i" && return; done; echo -1; }
bad=0
for folder in "${LAYERS[@]}"; do
  me=$(rank "$folder")
  while IFS= read -r hit; do
    used=${hit#*#include \"}; used=${used%%/*}
    [ "$used" = "$folder" ] && continue
    them=$(rank "$used")
    if [ "$them" -lt 0 ] || [ "$them" -le "$me" ]; then
      echo "folder order broken: ${hit%%:*} includes $used/ (${folder}/ may use only those after it)"
      bad=1
    fi
  done < <(grep -rHE '^#include "[a-z_]+/' "$src/$folder" --include='*.h' --include='*.cpp' \
             --exclude-dir=gen)
done
[ "$bad" = 0 ] && echo "folder order kept: ${LAYERS[*]}"
exit "$bad"

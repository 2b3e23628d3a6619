#!/bin/sh
# Doxygen's input filter for the public headers: puts everything a header of
# src/QMFoundation/<area>/ declares into the reference's group of that area (see areas.dox), so
# the headers need no grouping commands of their own; the generated headers directly in
# QMFoundation/ go to Core's group. The group opens on the header's first line and closes after
# its last, so the line numbers in warnings stay the header's own.
area=$(basename "$(dirname "$1")")
if [ "$area" = QMFoundation ]; then
    area=core
fi
printf '/** \\addtogroup %s */ /** @{ */ ' "$area"
cat "$1"
printf '\n/** @} */\n'

#!/usr/bin/env bash
# Pads a program image with zero bytes to exactly the payload offset, or fails
# when the image has grown past it.
set -euo pipefail
file=$1
limit=$2
size=$(stat -c %s "$file")
if [ "$size" -gt "$limit" ]; then
    echo "error: $file is $size bytes, more than the payload offset $limit: make the program smaller" >&2
    exit 1
fi
truncate -s "$limit" "$file"

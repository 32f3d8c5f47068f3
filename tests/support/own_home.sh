#!/bin/sh
# Runs a test program with a home folder of its own, empty and removed
# afterwards, and none of the XDG folders of whoever started it: tests must
# neither read nor write the real user's configuration.
home=$(mktemp -d "${TMPDIR:-/tmp}/lorvane-home-XXXXXX") || exit 1
trap 'rm -rf "$home"' EXIT
trap 'exit 143' TERM INT HUP
for var in $(env | sed -n 's/^\(XDG_[A-Za-z0-9_]*\)=.*/\1/p'); do unset "$var"; done
mkdir -m 700 "$home/runtime"
HOME="$home" XDG_RUNTIME_DIR="$home/runtime" "$@"

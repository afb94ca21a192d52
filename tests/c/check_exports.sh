#!/bin/bash
# Fails when the shared library exports any function outside the DX_/dxi_ families.
set -e
bad=$(nm -D --defined-only "$1" | awk '$2 ~ /[TW]/ {print $3}' | grep -vE '^(DX_|dxi_)' || true)
if [ -n "$bad" ]; then echo "unexpected exports:"; echo "$bad"; exit 1; fi
n=$(nm -D --defined-only "$1" | awk '$2 ~ /[TW]/' | wc -l)
echo "exports: $n"

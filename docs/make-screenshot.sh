#!/usr/bin/env bash
# Regenerates docs/diff-example.png, the README's picture of the HTML view: the example diff
# (examples/base.ipynb -> examples/current.ipynb) rendered by headless Chromium (Debian package
# `chromium`). Run from anywhere, after an install or an in-place build.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
PYTHONPATH=${PYTHONPATH:-src} python3 -m vornik_git.cli diff --html "$work/diff.html" \
  examples/base.ipynb examples/current.ipynb || [ $? -eq 1 ]
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --no-first-run \
  --screenshot="$work/diff.png" --window-size=960,1060 "file://$work/diff.html" 2>/dev/null
mv "$work/diff.png" docs/diff-example.png
ls -l docs/diff-example.png

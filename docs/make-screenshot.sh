#!/usr/bin/env bash
# Regenerates docs/diff-example.png, the README's picture of the HTML view: the example triple
# (examples/base.ipynb, current.ipynb, incoming.ipynb) merged by the driver, then the diff from
# base to the merged notebook rendered by headless Chromium (Debian package `chromium`). Run from
# anywhere, after an install or an in-place build.
set -euo pipefail
cd "$(dirname "$0")/.."
export PYTHONPATH=${PYTHONPATH:-$PWD/src}
root=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/base.ipynb examples/incoming.ipynb "$work/"
cp examples/current.ipynb "$work/merged.ipynb"
cd "$work"
python3 -m vornik_git.scripts --base-file base.ipynb --current-file merged.ipynb \
  --incoming-file incoming.ipynb --file-path flows/report.ipynb
python3 -m vornik_git.cli diff --html diff.html base.ipynb merged.ipynb || [ $? -eq 1 ]
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --no-first-run \
  --screenshot="$work/diff.png" --window-size=960,1290 "file://$work/diff.html" 2>/dev/null
mv "$work/diff.png" "$root/docs/diff-example.png"
ls -l "$root/docs/diff-example.png"

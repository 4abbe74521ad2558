#!/usr/bin/env bash
# Regenerates docs/resolve-example.txt, the README's picture of `vornik-git resolve`: the example
# notebooks merged (current and incoming both changed a line of the "train" cell), then the
# resolver in a tmux pane, captured at its question and after the answer "b" (both lines).
# Run from anywhere, after an install or an in-place build.
set -euo pipefail
cd "$(dirname "$0")/.."
export PYTHONPATH=${PYTHONPATH:-$PWD/src}
work=$(mktemp -d)
session=vornik-resolve-$$
trap 'tmux kill-session -t "$session" 2>/dev/null || true; rm -rf "$work"' EXIT
cp examples/*.ipynb "$work"
python3 -c "import sys; from vornik_git.drivers import merge_files; d = sys.argv[1]; \
merge_files(d + '/base.ipynb', d + '/current.ipynb', d + '/incoming.ipynb', 'example.ipynb')" "$work"
mv "$work/current.ipynb" "$work/example.ipynb"
tmux new-session -d -s "$session" -x 92 -y 16 -c "$work"
tmux send-keys -t "$session" "PS1='$ '; vornik-git() { python3 -m vornik_git.cli \"\$@\"; }; clear" Enter
sleep 1
tmux send-keys -t "$session" "vornik-git resolve example.ipynb" Enter
sleep 2
tmux send-keys -t "$session" "b" Enter
sleep 2
tmux capture-pane -p -t "$session" | python3 -c "import sys; print(sys.stdin.read().strip().removesuffix('$').rstrip())" \
  > docs/resolve-example.txt
cat docs/resolve-example.txt

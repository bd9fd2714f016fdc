#!/usr/bin/env bash
# Checks the text form's TextMate grammar (editors/vscode): every scope that
# the hand-written test file expects, and the scopes of samples/example.txt
# against the committed snapshot. The checkers are those that
# scripts/install-deps.sh test installs into build/grammar-tools.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/grammar-tools/node_modules/.bin
extension=$root/editors/vscode
[ -x "$bin/vscode-tmgrammar-test" ] || { echo "no grammar checkers in $bin: run scripts/install-deps.sh test"; exit 1; }
"$bin/vscode-tmgrammar-test" -c --config "$extension/package.json" "$extension/test/syntax.tamb.txt"
# The snapshot lies beside the file it describes: both are copied.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/samples/example.txt" "$extension/test/example.txt.snap" "$work/"
"$bin/vscode-tmgrammar-snap" -s source.tamb --config "$extension/package.json" "$work/example.txt"

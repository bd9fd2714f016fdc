#!/usr/bin/env bash
# git diff of a resource file through the README's .gitattributes line and
# textconv command: the one resource that --add changed shows its old and
# new lines, and no other line changes.
set -euo pipefail
tamb=${1:?usage: git-diff.sh TAMB}
PATH=$(cd "$(dirname "$tamb")" && pwd):$PATH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export HOME=$work GIT_CONFIG_NOSYSTEM=1
git init -q .
git config user.name tamb
git config user.email tamb@localhost
echo '*.rsrc diff=tamb' > .gitattributes
git config diff.tamb.textconv "sh -c 'tamb --text /dev/stdin < \"\$1\"' -"
printf 'one\n' > a
printf 'two\n' > b
printf 'new\n' > c
tamb -o app.rsrc --add TEXT:1=a --add TEXT:2:second=b --add TEXT:3=a
git add .gitattributes app.rsrc
git commit -qm resources
tamb -o app.rsrc app.rsrc --add TEXT:2:second=c
changed=$(git diff --no-color | grep '^[-+]' | grep -v '^--- \|^+++ ')
expected='-  text "two\n"
+  text "new\n"'
[ "$changed" = "$expected" ] || { echo "git diff changed:"; git diff --no-color; exit 1; }

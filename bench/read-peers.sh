#!/usr/bin/env bash
# libtamb against GLib's GResource on the same resources. See bench/README.md.
#
#   bench/read-peers.sh [--reps N] [--sets "COUNTxSIZE ..."] [--build DIR] [--work DIR] [--keep]
#
# For each set (default "10000x100 100000x16"): COUNT resources of SIZE bytes
# written as files, compiled into a GResource bundle and into an x86
# resource file; then, --reps times in turn, each opened and every resource
# read once: from memory (tamb_open_memory against g_resource_new_from_data
# on the same bytes) and from the file (tamb_open against g_resource_load).
# Prints the medians of the seconds from the open to the close (in the
# process, the file already read for the memory cases), the ratios against
# their targets, and the system calls each makes after opening (strace).
# Installs GLib's development files (libglib2.0-dev) when they are missing.
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
reps=5 sets="10000x100 100000x16" build="$repo/build/release" scratch=/tmp keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps=$2; shift ;;
    --sets) sets=$2; shift ;;
    --build) build=$2; shift ;;
    --work) scratch=$2; shift ;;
    --keep) keep=1 ;;
    *) sed -n '2,14p' "$0" >&2; exit 2 ;;
  esac
  shift
done

if ! pkg-config --exists gio-2.0 2>/dev/null || ! command -v glib-compile-resources > /dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
    libglib2.0-dev libglib2.0-dev-bin pkg-config || exit 2
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "read-peers.sh: no build in $build (cmake --preset release, or --build DIR)" >&2
  exit 2
fi
cmake "$build" > /dev/null && cmake --build "$build" --target peers > /dev/null || exit 2
peers=$(find "$build" -maxdepth 3 -type f -name peers -perm -u+x | head -n 1)
[ -x "$peers" ] || { echo "read-peers.sh: peers not built in $build" >&2; exit 2; }
has_strace=0
command -v strace > /dev/null && has_strace=1

work=$(mktemp -d "$scratch/tamb-peers.XXXXXX") || exit 2
trap '[ "$keep" = 1 ] || rm -rf "$work"' EXIT
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { if (NR) printf "%.4f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# after_open KIND FILE COUNT SIZE: the system calls between the two marks
# that peers makes after its open and after its reads.
after_open() {
  [ "$has_strace" = 1 ] || { echo "-"; return; }
  strace -f -o "$work/trace" "$peers" "$@" > /dev/null || { echo "?"; return; }
  awk '/getppid\(/ { marks++; next } marks == 1 { n++ } END { print n + 0 }' "$work/trace"
}

status=0
printf '%-7s %9s %6s %10s %10s %7s %-7s %s\n' from resources bytes "tamb s" "GLib s" ratio target "calls after open (tamb/GLib)"
for set in $sets; do
  count=${set%x*} size=${set#*x} dir="$work/$set"
  mkdir -p "$dir"
  "$peers" make "$dir" "$count" "$size" || exit 1
  glib-compile-resources --sourcedir "$dir/files" --target "$dir/bundle.gresource" "$dir/bundle.xml" || exit 1
  rm -rf "$dir/files"
  for from in memory file; do
    ts="" gs=""
    for ((i = 0; i < reps; i++)); do
      t=$("$peers" "tamb-$from" "$dir/tamb.rsrc" "$count" "$size") || { status=1; break; }
      g=$("$peers" "gres-$from" "$dir/bundle.gresource" "$count" "$size") || { status=1; break; }
      [ "${t#* }" = "${g#* }" ] || { echo "read-peers.sh: the two read different data" >&2; status=1; }
      ts+=" ${t% *}" gs+=" ${g% *}"
    done
    tm=$(echo "$ts" | median) gm=$(echo "$gs" | median)
    target=0.5
    [ "$from" = file ] && target=1.0
    ratio=$(awk -v a="$tm" -v b="$gm" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    mark=$(awk -v r="$ratio" -v t="$target" 'BEGIN { print r <= t ? "ok" : "MISS" }')
    calls="$(after_open "tamb-$from" "$dir/tamb.rsrc" "$count" "$size")/$(after_open "gres-$from" "$dir/bundle.gresource" "$count" "$size")"
    printf '%-7s %9s %6s %10s %10s %7s %-7s %s\n' "$from" "$count" "$size" "$tm" "$gm" "$ratio" "<= $target $mark" "$calls"
  done
  [ "$keep" = 1 ] || rm -rf "$dir"
done
exit $status

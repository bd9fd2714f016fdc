#!/usr/bin/env bash
# Resources compiled into a program (tamb_embed_resources), run by hand:
# - build: the build of bench/embed/ (Ninja, from clean) with BYTES of data
#   embedded (a text naming one file of random bytes), against a `cp` of the
#   data plus the same build without it; target: embed <= 3 x cp + plain;
# - memory: peak RSS of read_all with MEMORY bytes embedded, reading every
#   byte; target: <= the data's pages + 64 MiB.
# usage: bench/embed.sh --build BUILD_DIR [--reps N] [--data BYTES]
#                       [--memory BYTES] [--ldflags FLAGS] [--work DIR] [--keep]
# --ldflags gives both builds' links FLAGS (CMAKE_EXE_LINKER_FLAGS).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="" ldflags="" reps=5 data=100000000 memory=1000000000 workdir=/tmp keep=0
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --reps) reps=$2; shift 2 ;;
    --data) data=$2; shift 2 ;;
    --memory) memory=$2; shift 2 ;;
    --ldflags) ldflags=$2; shift 2 ;;
    --work) workdir=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: bench/embed.sh --build BUILD_DIR [--reps N] [--data BYTES] [--memory BYTES] [--ldflags FLAGS] [--work DIR] [--keep]" >&2; exit 2 ;;
  esac
done
[ -n "$build" ] || { echo "bench/embed.sh: --build BUILD_DIR is needed" >&2; exit 2; }
work=$(mktemp -d "$workdir/tamb-embed-bench.XXXXXX")
[ "$keep" = 1 ] || trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" > /dev/null

# A text naming one file of BYTES random bytes, in DIR.
make_data() {
  mkdir -p "$1"
  head -c "$2" /dev/urandom > "$1/data.bin"
  printf '%s\n' '# tamb resource text 1' "resource 'BLOB' 1 \"data\"" '  file "data.bin"' > "$1/data.txt"
}
configure() { # DIR EMBED TEXT
  cmake -S "$root/bench/embed" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_PREFIX_PATH="$work/prefix" -DEMBED="$2" -DDATA_TEXT="$3" \
        -DCMAKE_EXE_LINKER_FLAGS="$ldflags" > /dev/null
}
seconds() { # the wall-clock seconds of a command, its output dropped
  local t0 t1
  t0=$(date +%s.%N); "$@" > /dev/null 2>&1; t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc
}
median() { tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
clean_build() { cmake --build "$1" --target clean > /dev/null && cmake --build "$1"; }
copy() { cp "$work/d/data.bin" "$work/copy.bin" && rm "$work/copy.bin"; }

make_data "$work/d" "$data"
configure "$work/embed" ON "$work/d/data.txt"
configure "$work/plain" OFF "$work/d/data.txt"
clean_build "$work/embed" > /dev/null # warms the page cache and the tools
t_cp="" t_plain="" t_embed=""
for _ in $(seq "$reps"); do # interleaved
  t_cp+=" $(seconds copy)"
  t_plain+=" $(seconds clean_build "$work/plain")"
  t_embed+=" $(seconds clean_build "$work/embed")"
done
cp_s=$(echo "$t_cp" | median) plain_s=$(echo "$t_plain" | median) embed_s=$(echo "$t_embed" | median)
limit=$(echo "3 * $cp_s + $plain_s" | bc)
verdict=$(echo "$embed_s <= $limit" | bc | sed 's/1/ok/; s/0/MISS/')
printf 'build, %s bytes embedded (medians of %s): cp %.3f s, plain build %.3f s, embedding build %.3f s; limit 3 x cp + plain = %.3f s %s\n' \
       "$data" "$reps" "$cp_s" "$plain_s" "$embed_s" "$limit" "$verdict"
"$work/embed/read_all"

rm -rf "$work/d" "$work/embed" "$work/plain"
make_data "$work/m" "$memory"
configure "$work/memory" ON "$work/m/data.txt"
cmake --build "$work/memory" > /dev/null
rm "$work/m/data.bin" # the program's own pages are all it may read
/usr/bin/time -f %M -o "$work/peak" "$work/memory/read_all"
peak=$(cat "$work/peak")
pages=$(( (memory + 4095) / 4096 * 4 )) # KiB
verdict=$([ "$peak" -le $(( pages + 65536 )) ] && echo ok || echo MISS)
printf 'memory, %s bytes embedded and read: peak RSS %d KiB; limit %d KiB of data pages + 65536 KiB = %d KiB %s\n' \
       "$memory" "$peak" "$pages" "$(( pages + 65536 ))" "$verdict"

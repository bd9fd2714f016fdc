#!/usr/bin/env bash
# Whole-process benchmarks of tamb against plain baselines. See bench/README.md.
#
#   bench/run.sh [--smoke] [--reps N] [--timeout S] [--sizes "N ..."] [--big "BYTES ..."]
#                [--pe BYTES] [--data BYTES] [--inline BYTES] [--cases "1 2 3 4 5"]
#                [--build DIR] [--work DIR] [--keep] [--sha] [--check SHAFILE]
#                [--sync-baseline] [--versus TAMB]
#
# Each case runs tamb and its baseline alternately --reps times and reports
# medians. --versus runs the same commands with another tamb binary as the
# baseline of every case, so the ratio compares two builds in one run. --sha prints the sha256 of every output; --check compares them with
# a saved list (lines "<sha256>  <label>") and fails on a difference. Files
# go to a fresh folder tamb-bench.* under --work (default /tmp), removed at
# the end unless --keep.
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
reps=5 timeout_s=600 sizes="10000 100000 1000000" big="$((256 << 20)) $((512 << 20))"
cases="1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17" data=$((1 << 30)) inline=100000000
pe=$((256 << 20)) build="$repo/build" scratch=/tmp keep=0 sync_base=0 sha=0 check="" smoke=0
versus=""
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=1 reps=1 timeout_s=60 sizes="1000 10000" big=$((1 << 20)) pe=$((1 << 20))
             data=$((1 << 20)) inline=$((256 << 10)) cases="1 2 3 4 5 7 9 10 11 12 13 14 15 17" ;;
    --data) data=$2; shift ;;
    --inline) inline=$2; shift ;;
    --pe) pe=$2; shift ;;
    --versus) versus=$(realpath "$2"); shift ;;
    --reps) reps=$2; shift ;;
    --timeout) timeout_s=$2; shift ;;
    --sizes) sizes=$2; shift ;;
    --big) big=$2; shift ;;
    --cases) cases=$2; shift ;;
    --build) build=$2; shift ;;
    --work) scratch=$2; shift ;;
    --keep) keep=1 ;;
    --sync-baseline) sync_base=1 ;;
    --sha) sha=1 ;;
    --check) check=$2 sha=1; shift ;;
    *) sed -n '2,15p' "$0" >&2; exit 2 ;;
  esac
  shift
done

find_tool() { # the shallowest executable named $1 under the build folder
  find "$build" -maxdepth 3 -type f -name "$1" -perm -u+x -printf '%d %p\n' 2>/dev/null |
    sort -n | head -n 1 | cut -d' ' -f2-
}
tamb=${TAMB:-$(find_tool tamb)} make_input=${MAKE_INPUT:-$(find_tool make_input)}
floor=${FLOOR:-$(find_tool floor)}
if [ ! -x "$tamb" ] || [ ! -x "$make_input" ] || [ ! -x "$floor" ]; then
  echo "run.sh: tamb, make_input or floor not found under $build (use --build, TAMB=, MAKE_INPUT=, FLOOR=)" >&2
  exit 2
fi
tamb=$(realpath "$tamb") make_input=$(realpath "$make_input") floor=$(realpath "$floor")
expected=""
if [ -n "$check" ]; then expected=$(cat "$check") || exit 2; fi
[ -x /usr/bin/time ] || { echo "run.sh: /usr/bin/time missing (apt-get install time)" >&2; exit 2; }
work=$(mktemp -d "$scratch/tamb-bench.XXXXXX") || exit 2
trap '[ "$keep" = 1 ] || rm -rf "$work"' EXIT
cd "$work" || exit 2 # listings name their input as given: relative names keep them stable
status=0 sha_lines=""

# run_timed OUT CMD...: runs CMD with stdout to OUT; sets secs, rss_kb, rc.
run_timed() {
  local out=$1; shift
  local t0 t1
  t0=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/rss" timeout "$timeout_s" "$@" > "$out"
  rc=$?
  t1=$(date +%s%N)
  secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
  rss_kb=$(tail -n 1 "$work/rss")
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { if (NR) printf "%.3f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
mib() { calc %.0f "$1 / 1048576"; }

# measure LABEL TAMB_PREP BASE_PREP TAMB_OUT BASE_OUT -- TAMB_CMD... -- BASE_CMD...
# The PREP commands run before every run of their side. Sets tamb_t, base_t,
# peak_kb (tamb_t is ">S" on a timeout).
measure() {
  local label=$1 tprep=$2 bprep=$3 tout=$4 bout=$5; shift 6
  local tcmd=() bcmd=() ts="" bs="" peak=0 i
  while [ "$1" != "--" ]; do tcmd+=("$1"); shift; done; shift
  bcmd=("$@")
  if [ -n "$versus" ]; then # the same command with the other tamb
    bprep=$tprep bout=$tout bcmd=()
    for i in "${tcmd[@]}"; do [ "$i" = "$tamb" ] && i=$versus; bcmd+=("$i"); done
  fi
  for ((i = 0; i < reps; i++)); do
    eval "$tprep"; run_timed "$tout" "${tcmd[@]}"
    if [ "$rc" = 124 ]; then ts=">$timeout_s"; break; fi
    if [ "$rc" != "${expect_rc:-0}" ]; then echo "run.sh: $label: tamb failed with status $rc" >&2; status=1; ts="failed"; break; fi
    ts+=" $secs"; [ "$rss_kb" -gt "$peak" ] && peak=$rss_kb
    eval "$bprep"; run_timed "$bout" "${bcmd[@]}"
    bs+=" $secs"
  done
  case "$ts" in ">"* | failed) tamb_t=$ts ;; *) tamb_t=$(echo "$ts" | median) ;; esac
  base_t=$(echo "$bs" | median) peak_kb=$peak
}

row() { # case resources bytes tamb [base peak limit target_ratio]
  local base=${5:-} peak=${6:-0} limit=${7:-} target=${8:-} ratio="-" mark="" mem="-"
  if [[ "$4" =~ ^[0-9.]+$ ]] && [ -n "$base" ]; then
    ratio=$(calc %.2f "$4 / ($base > 0 ? $base : 0.001)")
    [ -n "$target" ] && [ "$smoke" = 0 ] && mark=$(calc %s "$ratio <= $target ? \"ok\" : \"MISS\"")
  fi
  if [ -n "$limit" ] && [ "$peak" != 0 ] && [ "$smoke" = 0 ]; then
    mem="$(mib "$peak * 1024")/$(mib "$limit") $(calc %s "$peak * 1024 <= $limit ? \"ok\" : \"OVER\"")"
  fi
  printf '%-14s %9s %12s %9s %9s %7s %-5s %s\n' "$1" "$2" "$3" "$4" "${base:--}" "$ratio" "$mark" "$mem"
}

record_sha() { # LABEL FILE
  [ "$sha" = 1 ] || return 0
  sha_lines+="$(sha256sum < "$2" | cut -d' ' -f1)  $1"$'\n'
}

smoke_check() { # LABEL FILE COUNT FORMAT: the output lists COUNT resources
  [ "$smoke" = 1 ] || return 0
  local listing n
  listing=$("$tamb" -l "$2") || { echo "run.sh: $1: output unreadable" >&2; status=1; return; }
  n=$(grep -c "^'" <<< "$listing")
  if [ "$n" != "$3" ] || ! grep -q "($4 format)" <<< "$listing"; then
    echo "run.sh: $1: output lists $n resources, expected $3 in $4 format" >&2; status=1
  fi
}

growth() { # CASE: t(n2)/t(n1) for consecutive sizes, target 1.1 x the size ratio
  local -n times=$1; local prev="" n g target
  for n in $sizes; do
    if [ -n "$prev" ] && [[ "${times[$prev]:-}" =~ ^[0-9.]+$ ]] && [[ "${times[$n]:-}" =~ ^[0-9.]+$ ]]; then
      g=$(calc %.1f "${times[$n]} / (${times[$prev]} > 0 ? ${times[$prev]} : 0.001)")
      target=$(calc %.1f "1.1 * $n / $prev")
      if [ "$smoke" = 1 ]; then echo "  growth $2: t($n)/t($prev) = $g"
      else echo "  growth $2: t($n)/t($prev) = $g (target <= $target) $(calc %s "$g <= $target ? \"ok\" : \"MISS\"")"; fi
    fi
    prev=$n
  done
}

# Whether a size is worth running: skipped when the previous size's time,
# scaled quadratically, would exceed twice the timeout.
too_slow() { # CASE_TIMES N
  local -n times=$1; local prev="" n t=""
  for n in $sizes; do [ "$n" = "$2" ] && break; prev=$n; done
  [ -n "$prev" ] && t=${times[$prev]:-}
  [ "$t" = "skipped" ] || [[ "$t" == ">"* ]] && return 0
  [[ "$t" =~ ^[0-9.]+$ ]] || return 1
  est=$(calc %.0f "$t * ($2 / $prev) ^ 2")
  [ "$est" -gt $((2 * timeout_s)) ]
}

[ "$smoke" = 1 ] && echo "smoke run: sizes too small to time, so no ratio or memory is judged here;" \
  "it checks that every case runs and what its outputs hold (ratios are judged by hand with a full run)"
printf '%-14s %9s %12s %9s %9s %7s %-5s %s\n' case resources bytes "tamb s" "base s" ratio target "peak/limit MiB"
declare -A t2=() t3=() t4=()
gen() { "$make_input" "$@" || { echo "run.sh: make_input $* failed" >&2; exit 1; }; }
input_bytes() { cat "$@" | wc -c; }

for size in $big; do
  [[ " $cases " == *" 1 "* ]] || break
  need_kb=$(( size * 4 / 1024 + 262144 ))
  if [ "$(df -Pk "$work" | awk 'NR == 2 { print $4 }')" -lt "$need_kb" ]; then
    echo "case 1 skipped: needs $((need_kb >> 20)) GiB free in $work" >&2
    continue
  fi
  # Baseline: cat of the two files, then a sync of the copy (tamb syncs its
  # output before it replaces the file).
  gen -n 2 -s "$size" -k 2 "$work/big"
  measure case1 'rm -f "$work/out1"; sync' 'rm -f "$work/cat1"; sync' /dev/null /dev/null -- \
    "$tamb" -o "$work/out1" "$work/big.0" "$work/big.1" -- \
    sh -c 'cat "$1" "$2" > "$0" && sync "$0"' "$work/cat1" "$work/big.0" "$work/big.1"
  row "1 merge-big" 2 "$(input_bytes "$work"/big.?)" "$tamb_t" "$base_t" "$peak_kb" \
    "$(calc %.0f "1.1 * 2 * $size + 32 * 1048576")" 1.3
  if [[ "$tamb_t" =~ ^[0-9.]+$ ]]; then
    record_sha "case1-$size" "$work/out1"; smoke_check case1 "$work/out1" 2 PE
  fi
  rm -f "$work/big.0" "$work/big.1" "$work/cat1"; [ "$keep" = 1 ] || rm -f "$work/out1"
done

if [[ " $cases " == *" 5 "* ]]; then
  # One small resource merged into a large PE executable that has no area:
  # the output is copied, so the baseline is cp of the executable.
  gen --pe "$pe" "$work/pe.src"
  gen -n 1 -s 16 "$work/one"
  bcmd=(cp "$work/pe.src" "$work/cp5")
  [ "$sync_base" = 1 ] && bcmd=(sh -c 'cp "$0" "$1" && sync "$1"' "$work/pe.src" "$work/cp5")
  measure case5 'cp "$work/pe.src" "$work/out5"; sync' 'rm -f "$work/cp5"; sync' /dev/null /dev/null -- \
    "$tamb" -o "$work/out5" "$work/one" -- "${bcmd[@]}"
  row "5 merge-pe" 1 "$pe" "$tamb_t" "$base_t" "$peak_kb" "" 1.5
  if [[ "$tamb_t" =~ ^[0-9.]+$ ]]; then
    record_sha "case5-$pe" "$work/out5"; smoke_check case5 "$work/out5" 1 PE
  fi
  rm -f "$work/pe.src" "$work/out5" "$work/cp5" "$work/one"
fi

# Resources of types the conversion does not know, whose data stays in the
# inputs and is copied by the kernel: two merged (case 7, against cat and a
# sync), seven of 256 MiB merged in little memory (case 8), and one extracted
# (case 9, against cp and a sync).
for size in $big; do
  [[ " $cases " == *" 7 "* ]] || break
  if [ "$(df -Pk "$work" | awk 'NR == 2 { print $4 }')" -lt $(( size * 4 / 1024 + 262144 )) ]; then
    echo "case 7 skipped: not enough room in $work" >&2; continue
  fi
  gen -n 2 -s "$size" -k 2 --opaque "$work/opaque"
  measure case7 'rm -f "$work/out7"; sync' 'rm -f "$work/cat7"; sync' /dev/null /dev/null -- \
    "$tamb" -o "$work/out7" "$work/opaque.0" "$work/opaque.1" -- \
    sh -c 'cat "$1" "$2" > "$0" && sync "$0"' "$work/cat7" "$work/opaque.0" "$work/opaque.1"
  row "7 merge-kept" 2 "$(input_bytes "$work"/opaque.?)" "$tamb_t" "$base_t" "$peak_kb" $((64 << 20)) 1.0
  if [[ "$tamb_t" =~ ^[0-9.]+$ ]]; then
    record_sha "case7-$size" "$work/out7"; smoke_check case7 "$work/out7" 2 PE
  fi
  rm -f "$work/opaque.0" "$work/opaque.1" "$work/cat7" "$work/out7"
done
if [[ " $cases " == *" 8 "* ]]; then
  if [ "$(df -Pk "$work" | awk 'NR == 2 { print $4 }')" -lt $(( 7 * 3 * 262144 + 262144 )) ]; then
    echo "case 8 skipped: needs 5.5 GiB free in $work" >&2
  else
    gen -n 7 -s $((256 << 20)) -k 7 --opaque "$work/seven"
    ins=("$work"/seven.?)
    measure case8 'rm -f "$work/out8"; sync' 'rm -f "$work/cat8"; sync' /dev/null /dev/null -- \
      "$tamb" -o "$work/out8" "${ins[@]}" -- \
      sh -c 'out=$0; cat "$@" > "$out" && sync "$out"' "$work/cat8" "${ins[@]}"
    row "8 merge-1.75G" 7 "$(input_bytes "${ins[@]}")" "$tamb_t" "$base_t" "$peak_kb" $((64 << 20))
    rm -f "${ins[@]}" "$work/cat8" "$work/out8"
  fi
fi
for size in $big; do
  [[ " $cases " == *" 9 "* ]] || break
  gen -n 1 -s "$size" --opaque "$work/one9"
  measure case9 'rm -f "$work/out9"; sync' 'rm -f "$work/cp9"; sync' /dev/null /dev/null -- \
    "$tamb" -l --extract "x000:0=$work/out9" "$work/one9" -- \
    sh -c 'cp "$1" "$0" && sync "$0"' "$work/cp9" "$work/one9"
  row "9 extract" 1 "$size" "$tamb_t" "$base_t" "$peak_kb" $((64 << 20)) 1.2
  [[ "$tamb_t" =~ ^[0-9.]+$ ]] && record_sha "case9-$size" "$work/out9"
  rm -f "$work/one9" "$work/cp9" "$work/out9"
  break # one size is enough
done

# Every other path that data can take, at --data bytes (1 GiB; --inline
# bytes for data written inline in a text): each in at most 64 MiB (1.1 x
# the data + 64 MiB inline), against the plain copy that fits. The spill
# file goes to $TMPDIR, set to the work folder.
export TMPDIR=$work
want_cases() { local c; for c in "$@"; do [[ " $cases " == *" $c "* ]] && return 0; done; return 1; }
if want_cases 10 11 12 13 14 15 16 17; then
  mem=$((64 << 20))
  if [ "$(df -Pk "$work" | awk 'NR == 2 { print $4 }')" -lt $(( data * 5 / 1024 + 262144 )) ]; then
    echo "cases 10-17: not enough room in $work for $data bytes; --data 268435456 takes less" >&2
  else
    gen -n 1 -s "$data" --opaque "$work/d.rsrc"
    "$tamb" -l --extract "x000:0=$work/d.bin" "$work/d.rsrc" > /dev/null
    printf "# tamb resource text 1\nresource 'BIGD' 1 \"big\"\n  file \"d.bin\"\n" > "$work/t.txt"
    printf hi > "$work/hi.bin"
    if want_cases 10; then
      measure case10 : : /dev/null /dev/null -- "$tamb" -l t.txt -- cat "$work/t.txt"
      row "10 list-text" 1 "$data" "$tamb_t" "$base_t" "$peak_kb" "$mem"
    fi
    if want_cases 11; then
      measure case11 'rm -f "$work/out11"; sync' 'rm -f "$work/cat11"; sync' /dev/null /dev/null -- \
        "$tamb" -o "$work/out11" t.txt -- sh -c 'cat "$1" > "$0" && sync "$0"' "$work/cat11" "$work/d.bin"
      row "11 merge-text" 1 "$data" "$tamb_t" "$base_t" "$peak_kb" "$mem"
      [[ "$tamb_t" =~ ^[0-9.]+$ ]] && record_sha "case11-$data" "$work/out11"
      rm -f "$work/out11" "$work/cat11"
    fi
    if want_cases 12; then
      measure case12 'rm -f "$work/out12"' 'rm -f "$work/cat12"' "$work/out12" "$work/cat12" -- \
        "$tamb" -l --extract x000:0=- d.rsrc -- cat "$work/d.bin"
      row "12 extract-out" 1 "$data" "$tamb_t" "$base_t" "$peak_kb" "$mem"
      [[ "$tamb_t" =~ ^[0-9.]+$ ]] && record_sha "case12-$data" "$work/out12"
      rm -f "$work/out12" "$work/cat12"
    fi
    if want_cases 13; then
      # Written in place (a second link), its own data moved out of the way.
      measure case13 'cp "$work/d.rsrc" "$work/in13" && ln -f "$work/in13" "$work/link13"; sync' \
        'rm -f "$work/cp13"; sync' /dev/null /dev/null -- \
        "$tamb" -o "$work/in13" "$work/in13" --add "CSTR:2=$work/hi.bin" -- \
        sh -c 'cp "$1" "$0" && sync "$0"' "$work/cp13" "$work/d.rsrc"
      row "13 in-place" 1 "$data" "$tamb_t" "$base_t" "$peak_kb" "$mem"
      [[ "$tamb_t" =~ ^[0-9.]+$ ]] && record_sha "case13-$data" "$work/in13"
      rm -f "$work/in13" "$work/link13" "$work/cp13"
    fi
    if want_cases 14; then
      # A known type, added from a file, then merged x86 to x86.
      measure case14a 'rm -f "$work/k.rsrc"; sync' 'rm -f "$work/cat14"; sync' /dev/null /dev/null -- \
        "$tamb" -o "$work/k.rsrc" --add "LONG:1=$work/d.bin" -- \
        sh -c 'cat "$1" > "$0" && sync "$0"' "$work/cat14" "$work/d.bin"
      row "14 add-known" 1 "$data" "$tamb_t" "$base_t" "$peak_kb" "$mem"
      measure case14b 'rm -f "$work/out14"; sync' 'rm -f "$work/cat14"; sync' /dev/null /dev/null -- \
        "$tamb" -o "$work/out14" "$work/k.rsrc" -- \
        sh -c 'cat "$1" > "$0" && sync "$0"' "$work/cat14" "$work/k.rsrc"
      row "14 merge-known" 1 "$data" "$tamb_t" "$base_t" "$peak_kb" "$mem"
      [[ "$tamb_t" =~ ^[0-9.]+$ ]] && record_sha "case14-$data" "$work/out14"
      rm -f "$work/k.rsrc" "$work/out14" "$work/cat14"
    fi
    if want_cases 15; then
      measure case15 'rm -f "$work/out15"; sync' 'rm -f "$work/cat15"; sync' /dev/null /dev/null -- \
        sh -c 'cat "$1" | "$2" -o "$0" --add BLOB:1=/dev/stdin' "$work/out15" "$work/d.bin" "$tamb" -- \
        sh -c 'cat "$1" > "$0" && sync "$0"' "$work/cat15" "$work/d.bin"
      row "15 pipe" 1 "$data" "$tamb_t" "$base_t" "$peak_kb" "$mem" 1.5
      [[ "$tamb_t" =~ ^[0-9.]+$ ]] && record_sha "case15-$data" "$work/out15"
      rm -f "$work/out15" "$work/cat15"
    fi
    if want_cases 16; then
      # Refused once it passes 2^31 - 1 bytes, all of which go to the spill
      # file first.
      expect_rc=1 measure case16 : 'rm -f "$work/cat16"; sync' /dev/null /dev/null -- \
        "$tamb" -o "$work/out16" --add ZERO:1=/dev/zero -- \
        sh -c 'head -c 2147483648 /dev/zero > "$0" && sync "$0"' "$work/cat16"
      row "16 zero" - 2147483648 "$tamb_t" "$base_t" "$peak_kb" "$mem" 1.5
      rm -f "$work/out16" "$work/cat16"
    fi
    if want_cases 17; then
      head -c "$inline" "$work/d.bin" > "$work/inline.bin"
      "$tamb" --text --add "BIGD:1=$work/inline.bin" > "$work/hex.txt"
      measure case17 'rm -f "$work/out17"; sync' 'rm -f "$work/cat17"; sync' /dev/null /dev/null -- \
        "$tamb" -o "$work/out17" hex.txt -- sh -c 'cat "$1" > "$0" && sync "$0"' "$work/cat17" "$work/hex.txt"
      row "17 text-hex" 1 "$inline" "$tamb_t" "$base_t" "$peak_kb" "$(calc %.0f "1.1 * $inline + $mem")"
      [[ "$tamb_t" =~ ^[0-9.]+$ ]] && record_sha "case17-$inline" "$work/out17"
      rm -f "$work/out17" "$work/cat17" "$work/inline.bin" "$work/hex.txt"
    fi
    rm -f "$work/d.rsrc" "$work/d.bin" "$work/t.txt" "$work/hi.bin"
  fi
fi

if [[ " $cases " == *" 6 "* ]]; then
  # The largest resource one write call can carry whole on Linux, plus one
  # byte: 2,147,479,553 bytes (a sparse file) added, written and listed back.
  chunk=2147479553
  if [ "$(df -Pk "$work" | awk 'NR == 2 { print $4 }')" -lt $(( (chunk >> 10) + 262144 )) ]; then
    echo "case 6 skipped: needs 2.3 GiB free in $work" >&2
  else
    truncate -s "$chunk" "$work/chunk6"
    measure case6 'rm -f "$work/out6"; sync' 'rm -f "$work/cat6"; sync' /dev/null /dev/null -- \
      "$tamb" -o "$work/out6" --add "BIGD:1=$work/chunk6" -- \
      sh -c 'cat "$1" > "$0" && sync "$0"' "$work/cat6" "$work/chunk6"
    row "6 chunk-2GiB" 1 "$chunk" "$tamb_t" "$base_t" "$peak_kb"
    if [[ "$tamb_t" =~ ^[0-9.]+$ ]] && ! "$tamb" -l "$work/out6" | grep -q "^'BIGD'     1 $chunk  (no name)\$"; then
      echo "run.sh: case6: the output does not list the resource" >&2; status=1
    fi
    rm -f "$work/chunk6" "$work/cat6" "$work/out6"
  fi
fi

for n in $sizes; do
  limit=$((100 << 20))
  if [[ " $cases " == *" 2 "* || " $cases " == *" 3 "* ]]; then
    gen -n "$n" -s 16 -t 100 -k 10 --names "$work/m$n"
    ins=("$work/m$n".?) bytes=$(input_bytes "$work/m$n".?)
  fi
  if [[ " $cases " == *" 2 "* ]]; then
    if too_slow t2 "$n"; then t2[$n]=skipped; row "2 merge" "$n" "$bytes" "skipped(est ${est:-?}s)"
    else
      # Baseline: the floor program on the same files.
      measure "case2 $n" 'rm -f "$work/out2"' 'rm -f "$work/floor2"' /dev/null /dev/null -- \
        "$tamb" -o "$work/out2" "${ins[@]}" -- "$floor" "$work/floor2" "${ins[@]}"
      t2[$n]=$tamb_t
      row "2 merge" "$n" "$bytes" "$tamb_t" "$base_t" "$peak_kb" "$limit" 0.5
      if [[ "$tamb_t" =~ ^[0-9.]+$ ]]; then
        record_sha "case2-$n" "$work/out2"; smoke_check case2 "$work/out2" "$n" PE
      fi
    fi
    rm -f "$work/floor2"; [ "$keep" = 1 ] && [ -f "$work/out2" ] && mv "$work/out2" "$work/out2-$n"
  fi
  if [[ " $cases " == *" 3 "* ]]; then
    gen -n 0 --kind resf "$work/resf-empty"
    if too_slow t3 "$n" || [[ "${t2[$n]:-}" == ">"* || "${t2[$n]:-}" == skipped ]]; then
      t3[$n]=skipped; row "3 merge-ppc" "$n" "$bytes" "skipped"
    else
      # Baseline: the same merge into a new x86 file (case 2's command).
      measure "case3 $n" 'cp "$work/resf-empty" "$work/out3"' 'rm -f "$work/out2"' /dev/null /dev/null -- \
        "$tamb" -o "$work/out3" "${ins[@]}" -- "$tamb" -o "$work/out2" "${ins[@]}"
      t3[$n]=$tamb_t
      row "3 merge-ppc" "$n" "$bytes" "$tamb_t" "$base_t" "$peak_kb" "$limit" 1.3
      if [[ "$tamb_t" =~ ^[0-9.]+$ ]]; then
        record_sha "case3-$n" "$work/out3"; smoke_check case3 "$work/out3" "$n" PEF
      fi
    fi
    rm -f "$work/out2"; [ "$keep" = 1 ] && [ -f "$work/out3" ] && mv "$work/out3" "$work/out3-$n"
    rm -f "$work/out3"
  fi
  [ "$keep" = 1 ] || rm -f "$work/m$n".? "$work/out2"
  if [[ " $cases " == *" 4 "* ]]; then
    gen -n "$n" -s 16 -t 100 --names "$work/l$n"
    if too_slow t4 "$n"; then t4[$n]=skipped; row "4 list" "$n" "$(input_bytes "$work/l$n")" "skipped(est ${est:-?}s)"
    else
      # With --sha the listing goes to a file instead of /dev/null.
      listing=/dev/null; [ "$sha" = 1 ] && listing=$work/list4
      measure "case4 $n" : 'rm -f "$work/floor4"' "$listing" /dev/null -- "$tamb" -l "l$n" -- \
        "$floor" "$work/floor4" "l$n"
      t4[$n]=$tamb_t
      row "4 list" "$n" "$(input_bytes "$work/l$n")" "$tamb_t" "$base_t" "" "" 0.35
      [ "$listing" != /dev/null ] && [[ "$tamb_t" =~ ^[0-9.]+$ ]] && record_sha "case4-$n" "$listing"
      rm -f "$work/list4" "$work/floor4"
    fi
    [ "$keep" = 1 ] || rm -f "$work/l$n"
  fi
done
[[ " $cases " == *" 2 "* ]] && growth t2 "case 2"
[[ " $cases " == *" 4 "* ]] && growth t4 "case 4"

if [ "$sha" = 1 ]; then
  echo; echo "sha256 of the outputs:"; printf '%s' "$sha_lines"
fi
if [ -n "$check" ]; then
  while read -r sum label; do
    [ -n "$label" ] || continue
    want=$(awk -v l="$label" '$2 == l { print $1 }' <<< "$expected")
    if [ -z "$want" ]; then echo "check $label: not in $check"
    elif [ "$want" = "$sum" ]; then echo "check $label: same"
    else echo "check $label: DIFFERENT"; status=1; fi
  done <<< "$sha_lines"
fi
[ "$keep" = 1 ] && echo "inputs and outputs kept in $work"
exit "$status"

#!/usr/bin/env bash
# Benchmark: the filter's whole chunk stream, read by pellucidor-dump --json, against the least an
# extracting design can cost, the baseline program (every entry extracted with the same UnRAR
# library to a temporary file, read back and deleted). A generated, deterministic text corpus is
# archived with rar; the fixture text filter is registered for the entries' extension.
#
# Prints medians of interleaved timed runs of the two whole Wine processes per archive (warm
# wineserver), the ratio filter/baseline, the per-entry overhead for (a) with where it goes (the
# per-step timings of pellucidor-bench-parts), and, from separate untimed runs, each side's peak
# working set and the most files present at once in its temporary folder. Measures only: no target
# makes the script fail; it fails when a run does not deliver what it must.
#
# Usage: bench.sh [x86|x64]        BENCH_RUNS=n: timed runs per side and archive (default 5)
# Runs in its own Wine prefix, build/bench/wineprefix, so that its registrations and run folders
# never meet the tests'.
set -euo pipefail
export LC_ALL=C
source "$(dirname "$0")/common.sh"

arch=${1:-x86}
case "$arch" in x86|x64) ;; *) echo "usage: bench.sh [x86|x64]" >&2; exit 2 ;; esac
runs=${BENCH_RUNS:-5}
bin="$BUILD/$arch"
data="$BUILD/bench/data"
filtered_ext=txt     # FixtureText.dll is registered for it
plain_ext=nofilt     # nothing is registered for it

prepare
build_arch "$arch" Pellucidor pellucidor-dump pellucidor-bench-baseline pellucidor-bench-parts fixtures
export WINEPREFIX="$BUILD/bench/wineprefix"

winpath() { printf 'Z:%s' "${1//\//\\}"; }

# ---------------------------------------------------------------------------------------------
# The archives, made once per recipe (the stamp holds a hash of the generator and of this recipe).
#   a  2000 entries of about 8 KB in 20 folders         c  the same entries, solid
#   b  20 entries of about 9 MB                          d  the entries of a as .nofilt
#   e  the entries of b ten times over (200 entries, ~1.8 GB of text; -m1, for the memory run only)
recipe="a:2000x8192/20 b:20x9437184 c:solid d:$plain_ext e:10xb-m1"
stamp="$data/.made-by"
me=$( (cat "$ROOT/tools/bench/corpus.py"; echo "$recipe") | sha256sum | cut -c1-16)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$me" ]; then
  echo "bench: making the corpus and the archives (once; several minutes)" >&2
  rm -rf "$data"
  mkdir -p "$data"
  work="$data/corpus"
  corpus() { python3 "$ROOT/tools/bench/corpus.py" "$@" >/dev/null; }
  archive() { local out=$1; shift; rar a -ma5 -idq -y -r "$@" "$out" >/dev/null; }

  corpus "$work/a" 2000 8192 20 "$filtered_ext"
  (cd "$work/a" && archive "$data/a.rar" -- dir* && archive "$data/c.rar" -s -- dir*)
  for f in "$work"/a/dir*/*."$filtered_ext"; do   # the same bytes under the other extension
    rel=${f#"$work/a/"}
    mkdir -p "$work/d/$(dirname "$rel")"
    ln "$f" "$work/d/${rel%."$filtered_ext"}.$plain_ext"
  done
  (cd "$work/d" && archive "$data/d.rar" -- dir*)

  corpus "$work/b" 20 9437184 0 "$filtered_ext"
  (cd "$work/b" && archive "$data/b.rar" -- *."$filtered_ext")
  for i in $(seq 0 9); do   # hard links: rar stores each as a file of its own
    mkdir -p "$work/e/copy$i"
    ln "$work"/b/*."$filtered_ext" "$work/e/copy$i/"
  done
  (cd "$work/e" && archive "$data/e.rar" -m1 -- copy*)
  rm -rf "$work"
  echo "$me" > "$stamp"
fi

# ---------------------------------------------------------------------------------------------
# The prefix: this build's filter registered as a setup program would, the fixture text filter
# for the entries' extension, and nothing for the other one.
wine_up
trap wine_down EXIT
PELLUCIDOR_ARCH=$arch PELLUCIDOR_BIN="$bin" bash "$ROOT/tests/setup.d/20-register.sh"
case "$arch" in
  x86) regsvr32='C:\windows\syswow64\regsvr32.exe' ;;
  *)   regsvr32='C:\windows\system32\regsvr32.exe' ;;
esac
wine "$regsvr32" /s "$(winpath "$bin/fixtures/FixtureText.dll")" </dev/null >/dev/null 2>&1 ||
  { echo "bench: FixtureText.dll does not register" >&2; exit 1; }
if wine reg query "HKLM\\Software\\Classes\\.$plain_ext" </dev/null >/dev/null 2>&1; then
  echo "bench: .$plain_ext has a registration in the prefix; (d) needs an extension without one" >&2
  exit 1
fi

dump=("$bin/pellucidor-dump.exe" --json)
baseline=("$bin/pellucidor-bench-baseline.exe")
names=(a b c d)
declare -A title=(
  [a]="(a) 2000 x 8 KB, 20 folders"
  [b]="(b) 20 x 9 MB"
  [c]="(c) (a) solid"
  [d]="(d) (a) as .$plain_ext (no filter)"
  [e]="(e) 10 x (b): 200 x 9 MB"
)
declare -A entries=([a]=2000 [b]=20 [c]=2000 [d]=2000 [e]=200)
declare -A target=([a]=1.40 [b]=1.10 [c]=1.40 [d]=0.50)

# ---------------------------------------------------------------------------------------------
# Untimed runs: the figures each side prints at exit with --stats, and a check that each side did
# its whole job (every entry extracted by the baseline; every entry named, and the text of the
# filtered ones relayed, by the filter).
stats_of() { sed -n 's/.*peak-working-set=\([0-9]*\) max-temp-files=\([0-9]*\).*/\1 \2/p' "$1" | tail -1; }
declare -A peak_f files_f peak_b files_b
for n in a b c d e; do
  arc=$(winpath "$data/$n.rar")
  out="$BUILD/bench/$n"
  wine "${baseline[@]}" --stats "$arc" >"$out.baseline.out" 2>"$out.baseline.err" </dev/null ||
    { echo "bench: baseline failed on $n.rar" >&2; cat "$out.baseline.err" >&2; exit 1; }
  grep -q "^entries=${entries[$n]} " "$out.baseline.out" ||
    { echo "bench: baseline did not extract ${entries[$n]} entries of $n.rar: $(cat "$out.baseline.out")" >&2; exit 1; }
  wine "${dump[@]}" --stats "$arc" >"$out.json" 2>"$out.dump.err" </dev/null ||
    { echo "bench: pellucidor-dump failed on $n.rar" >&2; cat "$out.dump.err" >&2; exit 1; }
  python3 "$ROOT/tools/bench/checkdump.py" "$out.json" "${entries[$n]}" "$([ "$n" = d ] && echo 0 || echo "${entries[$n]}")" ||
    { echo "bench: the stream of $n.rar is not what it must be" >&2; exit 1; }
  read -r peak_b[$n] files_b[$n] < <(stats_of "$out.baseline.err")
  read -r peak_f[$n] files_f[$n] < <(stats_of "$out.dump.err")
  rm -f "$out.json"
done

# ---------------------------------------------------------------------------------------------
# Timed runs, interleaved: each round runs every archive on both sides, the side that goes first
# alternating from round to round.
seconds() {
  local t0=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 </dev/null || { echo "bench: failed: $*" >&2; return 1; }
  local t1=$EPOCHREALTIME
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f\n", b - a }'
}
median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
declare -A times_f times_b
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for round in $(seq 1 "$runs"); do
  for n in "${names[@]}"; do
    arc=$(winpath "$data/$n.rar")
    if [ $((round % 2)) = 1 ]; then
      times_b[$n]+="$(seconds wine "${baseline[@]}" "$arc") "
      times_f[$n]+="$(seconds wine "${dump[@]}" "$arc") "
    else
      times_f[$n]+="$(seconds wine "${dump[@]}" "$arc") "
      times_b[$n]+="$(seconds wine "${baseline[@]}" "$arc") "
    fi
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------------------------------------
# Where the time per entry goes: each step of the road timed on its own, in process.
sample_dir="$BUILD/bench/sample"
rm -rf "$sample_dir"
mkdir -p "$sample_dir"
(cd "$sample_dir" && unrar e -idq -y "$data/a.rar" "dir00/doc0000.$filtered_ext" >/dev/null)
parts=$(wine "$bin/pellucidor-bench-parts.exe" "$(winpath "$sample_dir/doc0000.$filtered_ext")" \
          "$(winpath "$data/a.rar")" 2000 </dev/null 2>&1) || { echo "bench: parts failed: $parts" >&2; exit 1; }
rm -rf "$sample_dir"

# ---------------------------------------------------------------------------------------------
mb() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
mem=$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
echo
echo "Pellucidor benchmark, $arch: $runs interleaved runs per side, medians of whole Wine processes"
echo "machine: $(nproc) cores, $cpu, $mem; $(wine --version 2>/dev/null); load average $load_before before, $load_after after"
echo
printf '%-34s %7s %10s %10s %7s %8s\n' archive entries baseline[s] filter[s] ratio target
for n in "${names[@]}"; do
  mb_=$(echo "${times_b[$n]}" | median)
  mf=$(echo "${times_f[$n]}" | median)
  ratio=$(awk -v f="$mf" -v b="$mb_" 'BEGIN { printf "%.2f", f / b }')
  verdict=$(awk -v r="$ratio" -v t="${target[$n]}" 'BEGIN { print (r <= t) ? "met" : "MISSED" }')
  printf '%-34s %7s %10.3f %10.3f %7s %8s %s\n' "${title[$n]}" "${entries[$n]}" "$mb_" "$mf" "$ratio" "<= ${target[$n]}" "$verdict"
  eval "med_b_$n=$mb_ med_f_$n=$mf"
done
# shellcheck disable=SC2154
echo
awk -v f="$med_f_a" -v b="$med_b_a" 'BEGIN { printf "per-entry overhead of (a): %.0f us over the baseline (%.0f us per entry for the baseline, %.0f us for the filter)\n", (f - b) * 1e6 / 2000, b * 1e6 / 2000, f * 1e6 / 2000 }'
echo
echo "peak working set and most files at once in the temporary folder (untimed runs):"
printf '%-34s %14s %10s %14s %10s\n' archive "filter[MB]" files "baseline[MB]" files
for n in a b c d e; do
  printf '%-34s %14s %10s %14s %10s\n' "${title[$n]}" "$(mb "${peak_f[$n]}")" "${files_f[$n]}" "$(mb "${peak_b[$n]}")" "${files_b[$n]}"
done
awk -v b="${peak_f[b]}" -v e="${peak_f[e]}" 'BEGIN { printf "targets: below 64 MB (%s), (e) no higher than (b) (%s)\n", (b < 67108864 && e < 67108864) ? "met" : "MISSED", (e <= b) ? "met" : "MISSED by " sprintf("%.1f MB", (e - b) / 1048576) }'
echo
echo "where an extracted entry's time goes, in process (pellucidor-bench-parts, mean of 2000 calls):"
echo "$parts" | awk '
  $1 == "part"  { printf "  %-24s %9.1f us x %-3s = %9.1f us per entry\n", $2, $3, $4, $3 * $4 }
  $1 == "total" { printf "  whole %-18s %9.1f us per entry (%s entries)\n", $2, $3, $4 }'

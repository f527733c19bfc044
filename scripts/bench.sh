#!/usr/bin/env bash
# Benchmark: the filter's whole chunk stream, pulled without printing (pellucidor-dump --quiet),
# loaded by path and through IPersistStream (a stream over the archive file, as Windows Search
# hands it), against two floors built on the same UnRAR library:
#   disk    pellucidor-bench-baseline: every entry extracted to a temporary file, read back and
#           deleted (the least an extracting design can cost);
#   memory  pellucidor-bench-memory: every entry that has a filter decompressed into memory and
#           its filter run over it in process (what indexing the documents costs without us).
# A generated, deterministic text corpus is archived with rar; the fixture text filter, which
# reads streams, is registered for the entries' extension.
#
# Prints medians of interleaved timed runs of the whole Wine processes per archive (warm
# wineserver), in wall-clock time and in CPU time (the process's own and its wineserver's, which
# other load on the machine hardly changes), the ratios to both floors with their targets, the
# spread of the ratios from round to round, where an entry's time goes in process
# (pellucidor-bench-parts), and, from separate untimed runs, every side's peak working set and the
# most files present at once in its temporary folders, and the filter DLL's own peak heap
# (pellucidor-dump --heap-cap 0: counted, not capped; the count adds about 0.2 MB to the tool's
# working set, measured on three archives). Measures only: no target makes it fail; it
# fails when a run does not deliver what it must (every entry extracted, named and, where
# filtered, its text relayed).
#
# Usage: bench.sh [x86|x64]        BENCH_RUNS=n: timed runs per side and archive (default 5)
# Runs in its own Wine prefix, build/bench/wineprefix, so that its registrations and run folders
# never meet the tests'. The archives are made once, into build/bench/data (about 1 GB).
set -euo pipefail
export LC_ALL=C
source "$(dirname "$0")/common.sh"

arch=${1:-x86}
case "$arch" in x86|x64) ;; *) echo "usage: bench.sh [x86|x64]" >&2; exit 2 ;; esac
runs=${BENCH_RUNS:-5}
bin="$BUILD/$arch"
work="$BUILD/bench"
data="$work/data"
filtered_ext=txt     # FixtureText.dll is registered for it
plain_ext=nofilt     # nothing is registered for it

prepare
build_arch "$arch" Pellucidor pellucidor-dump pellucidor-bench-baseline pellucidor-bench-memory pellucidor-bench-parts fixtures
export WINEPREFIX="$work/wineprefix"

winpath() { printf 'Z:%s' "${1//\//\\}"; }

# ---------------------------------------------------------------------------------------------
# The archives, made once per recipe (the stamp holds a hash of the generator and of the recipe).
#   a  2000 entries of about 8 KB in 20 folders        c  the entries of a, solid
#   b  20 entries of about 9 MB                         d  the entries of a as .nofilt
#   e  the entries of b ten times over: 200 entries, 1.8 GB of text, for the memory run only
#      (compressed with -m1: rar's default method would take half an hour; the dictionary,
#      which decides what extraction holds in memory, is 16 MB for both b and e)
recipe="a:2000x8192/20 b:20x9437184 c:solid d:$plain_ext e:10xb-m1"
stamp="$data/.made-by"
me=$( (cat "$ROOT/tools/bench/corpus.py"; echo "$recipe") | sha256sum | cut -c1-16)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$me" ]; then
  echo "bench: making the corpus and the archives (once; several minutes)" >&2
  rm -rf "$data"
  mkdir -p "$data"
  corpus="$data/corpus"
  make_corpus() { python3 "$ROOT/tools/bench/corpus.py" "$@" >/dev/null; }
  archive() {   # archive OUT [SWITCH...] -- FILE...
    local out=$1 switches=()
    shift
    while [ "$1" != -- ]; do switches+=("$1"); shift; done
    shift
    rar a -ma5 -idq -y -r "${switches[@]}" "$out" "$@" >/dev/null
  }

  make_corpus "$corpus/a" 2000 8192 20 "$filtered_ext"
  (cd "$corpus/a" && archive "$data/a.rar" -- dir* && archive "$data/c.rar" -s -- dir*)
  for f in "$corpus"/a/dir*/*."$filtered_ext"; do   # the same bytes under the other extension
    rel=${f#"$corpus/a/"}
    mkdir -p "$corpus/d/$(dirname "$rel")"
    ln "$f" "$corpus/d/${rel%."$filtered_ext"}.$plain_ext"
  done
  (cd "$corpus/d" && archive "$data/d.rar" -- dir*)

  make_corpus "$corpus/b" 20 9437184 0 "$filtered_ext"
  (cd "$corpus/b" && archive "$data/b.rar" -- *."$filtered_ext")
  for i in $(seq 0 9); do   # hard links: rar stores each as a file of its own
    mkdir -p "$corpus/e/copy$i"
    ln "$corpus"/b/*."$filtered_ext" "$corpus/e/copy$i/"
  done
  (cd "$corpus/e" && archive "$data/e.rar" -m1 -- copy*)
  rm -rf "$corpus"
  echo "$me" > "$stamp"
fi

# ---------------------------------------------------------------------------------------------
# The prefix: this build's filter registered as a setup program would, the fixture filters as the
# test set-up registers them (the text filter serves .txt), and nothing for .nofilt.
wine_up
trap wine_down EXIT
PELLUCIDOR_ARCH=$arch PELLUCIDOR_BIN="$bin" bash "$ROOT/tests/setup.d/20-register.sh"
register_child_filters "$arch"
if wine reg query "HKLM\\Software\\Classes\\.$plain_ext" </dev/null >/dev/null 2>&1; then
  echo "bench: .$plain_ext has a registration in the prefix; (d) needs an extension without one" >&2
  exit 1
fi

# The wineserver of this prefix: its CPU time counts with the process it serves.
server=""
server_dir=$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
for p in $(pgrep -x wineserver64 || true) $(pgrep -x wineserver || true); do
  case "$(readlink "/proc/$p/cwd" 2>/dev/null)" in *"/$server_dir") server=$p ;; esac
done
[ -n "$server" ] || { echo "bench: no wineserver found for $WINEPREFIX" >&2; exit 1; }
server_ticks() { sed 's/.*) //' "/proc/$server/stat" | awk '{ print $12 + $13 }'; }
hz=$(getconf CLK_TCK)

# Each side runs under the loader of its own bitness. Debian's wine starts a 64-bit program
# through the 32-bit loader, which hands it on as a process that /usr/bin/time does not wait for
# (its CPU time would be lost) and adds a second start to the wall time.
loader=(wine)
if [ "$arch" = x64 ] && [ -x /usr/lib/wine/wine64 ]; then loader=(/usr/lib/wine/wine64); fi
dump=("${loader[@]}" "$bin/pellucidor-dump.exe" --json)
quiet=("${dump[@]}" --quiet)   # the whole stream pulled, nothing printed: the filter's cost alone
streamed=("${quiet[@]}" --named-stream)
baseline=("${loader[@]}" "$bin/pellucidor-bench-baseline.exe")
memory=("${loader[@]}" "$bin/pellucidor-bench-memory.exe")
names=(a b c d)
# s: one entry of a few bytes, made for each run; what every process costs before its first entry.
startup="$work/s"
rm -rf "$startup"
mkdir -p "$startup"
echo "one short line" > "$startup/one.$filtered_ext"
(cd "$startup" && rar a -ma5 -idq -y s.rar "one.$filtered_ext" >/dev/null)
archive_of() { if [ "$1" = s ]; then winpath "$startup/s.rar"; else winpath "$data/$1.rar"; fi; }
declare -A title=(
  [a]="(a) 2000 x 8 KB, 20 folders"
  [b]="(b) 20 x 9 MB"
  [c]="(c) (a) solid"
  [d]="(d) (a) as .$plain_ext, no filter"
  [e]="(e) 10 x (b): 200 x 9 MB"
)
declare -A entries=([a]=2000 [b]=20 [c]=2000 [d]=2000 [e]=200)
# Targets of the stream-loaded run: to the memory floor, and to the disk floor ("-": none).
declare -A target_m=([a]=1.15 [b]=1.05 [c]=1.15 [d]=-) target_d=([a]=0.50 [b]=- [c]=0.50 [d]=0.50)

# ---------------------------------------------------------------------------------------------
# Untimed runs: each side's figures at exit (--stats), and a check that each did its whole job.
stats_of() { sed -n 's/.*peak-working-set=\([0-9]*\) max-temp-files=\([0-9]*\).*/\1 \2/p' "$1" | tail -1; }
heap_of() { sed -n 's/.*dll-heap-peak=\([0-9]*\) .*/\1/p' "$1" | tail -1; }
declare -A peak_f files_f peak_s files_s peak_b files_b peak_m heap_f heap_s
for n in a b c d e; do
  arc=$(winpath "$data/$n.rar")
  out="$work/$n"
  filtered=${entries[$n]}; [ "$n" = d ] && filtered=0
  "${baseline[@]}" --stats "$arc" >"$out.baseline.out" 2>"$out.baseline.err" </dev/null ||
    { echo "bench: the baseline failed on $n.rar" >&2; cat "$out.baseline.err" >&2; exit 1; }
  grep -q "^entries=${entries[$n]} " "$out.baseline.out" ||
    { echo "bench: the baseline did not extract ${entries[$n]} entries of $n.rar: $(cat "$out.baseline.out")" >&2; exit 1; }
  "${memory[@]}" --stats "$arc" >"$out.memory.out" 2>"$out.memory.err" </dev/null ||
    { echo "bench: the memory baseline failed on $n.rar" >&2; cat "$out.memory.err" >&2; exit 1; }
  grep -q "^entries=$filtered " "$out.memory.out" ||
    { echo "bench: the memory baseline did not filter $filtered entries of $n.rar: $(cat "$out.memory.out")" >&2; exit 1; }
  for route in path stream; do
    opt=(); [ "$route" = stream ] && opt=(--named-stream)
    "${dump[@]}" --stats --heap-cap 0 "${opt[@]}" "$arc" 2>"$out.$route.err" </dev/null |
      python3 "$ROOT/tools/bench/checkdump.py" - "${entries[$n]}" "$filtered" ||
      { echo "bench: the stream of $n.rar loaded by $route is not what it must be" >&2; cat "$out.$route.err" >&2; exit 1; }
    "${quiet[@]}" "${opt[@]}" "$arc" 2>/dev/null </dev/null | grep -q "^{\"end\":\"0x80041700\",\"chunks\":" ||
      { echo "bench: the quiet run of $n.rar loaded by $route did not reach the stream's end" >&2; exit 1; }
  done
  read -r peak_b[$n] files_b[$n] < <(stats_of "$out.baseline.err")
  read -r peak_m[$n] _ < <(stats_of "$out.memory.err")
  read -r peak_f[$n] files_f[$n] < <(stats_of "$out.path.err")
  read -r peak_s[$n] files_s[$n] < <(stats_of "$out.stream.err")
  heap_f[$n]=$(heap_of "$out.path.err")
  heap_s[$n]=$(heap_of "$out.stream.err")
  # What each search host would keep of the archive given as a stream: the summary's characters
  # handed out per archive byte, and the longest single call.
  for host in none windows-search sharepoint; do
    "${streamed[@]}" --host "$host" "$arc" 2>/dev/null </dev/null | grep '^{"summary":true' >"$out.host-$host" ||
      { echo "bench: the run of $n.rar as $host kept no summary" >&2; exit 1; }
  done
done
# "characters-per-byte longest-call-ms" of one host's summary of one archive.
kept_of() {
  python3 - "$1" "$2" <<'PY'
import json, os, sys
summary = json.load(open(sys.argv[1]))
print('%.2f %d' % (summary['characters'] / os.path.getsize(sys.argv[2]), summary['longest-call-ms']))
PY
}
# One document of (a) and one of (b) as loose files: the child filter and the host alone on (b)'s,
# and both for the in-process timings below.
loose="$work/loose"
rm -rf "$loose"
mkdir -p "$loose/a" "$loose/b"
(cd "$loose/a" && rar e -idq -y "$data/a.rar" "dir00/doc0000.$filtered_ext" >/dev/null)
(cd "$loose/b" && rar e -idq -y "$data/b.rar" "doc0000.$filtered_ext" >/dev/null)
"${dump[@]}" --stats "$(winpath "$loose/b/doc0000.$filtered_ext")" 2>"$work/loose.dump.err" >/dev/null </dev/null ||
  { echo "bench: pellucidor-dump failed on a loose document" >&2; exit 1; }
read -r peak_loose _ < <(stats_of "$work/loose.dump.err")

# ---------------------------------------------------------------------------------------------
# Timed runs, interleaved: each round runs every archive on every side, the order of the sides
# reversed from round to round. Each run prints "wall cpu" (seconds): the process tree's wall
# clock, and its user and system time plus what its wineserver spent meanwhile. Nothing is
# printed but the counts at the end: a search host keeps the text it is given in memory for its
# word breaker, and the dump tool's printing is an administrator's view, not the host measured.
timed() {
  local t0 s0 s1 u s
  t0=$EPOCHREALTIME
  s0=$(server_ticks)
  /usr/bin/time -f '%U %S' -o "$work/time.out" "$@" >/dev/null 2>/dev/null </dev/null ||
    { echo "bench: failed: $*" >&2; return 1; }
  s1=$(server_ticks)
  read -r u s < "$work/time.out"
  awk -v a="$t0" -v b="$EPOCHREALTIME" -v u="$u" -v s="$s" -v d=$((s1 - s0)) -v hz="$hz" \
    'BEGIN { printf "%.4f %.3f\n", b - a, u + s + d / hz }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# sides: d disk floor, m memory floor, p the filter loaded by path, s the filter loaded as a stream
declare -A wall cpu
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for round in $(seq 1 "$runs"); do
  for n in "${names[@]}" s; do
    arc=$(archive_of "$n")
    for side in $([ $((round % 2)) = 1 ] && echo "d m p s" || echo "s p m d"); do
      case $side in
        d) r=$(timed "${baseline[@]}" "$arc") ;;
        m) r=$(timed "${memory[@]}" "$arc") ;;
        p) r=$(timed "${quiet[@]}" "$arc") ;;
        s) r=$(timed "${streamed[@]}" "$arc") ;;
      esac
      read -r w c <<< "$r"
      wall[$side$n]+="$w "
      cpu[$side$n]+="$c "
    done
  done
done
rm -f "$work/time.out"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------------------------------------
# Where the time per entry goes: each step of the road timed on its own, in process, with one of
# (a)'s documents, and the in-process walks of (a) and (b).
parts_of() {
  local sample=$1 archive=$2 calls=$3 walks=$4
  "${loader[@]}" "$bin/pellucidor-bench-parts.exe" "$(winpath "$sample")" "$(winpath "$archive")" "$calls" "$walks" </dev/null 2>&1 ||
    { echo "bench: pellucidor-bench-parts failed" >&2; return 1; }
}
parts_a=$(parts_of "$loose/a/doc0000.$filtered_ext" "$data/a.rar" 2000 3)
parts_b=$(parts_of "$loose/b/doc0000.$filtered_ext" "$data/b.rar" 20 1)
rm -rf "$loose"

# ---------------------------------------------------------------------------------------------
mb() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
med() { tr ' ' '\n' | sed '/^$/d' | median; }
ratio() { awk -v f="$1" -v b="$2" 'BEGIN { printf "%.2f", f / b }'; }
# "ratio target": "<= target met|missed", or nothing without a target
verdict() { [ "$2" = - ] || awk -v r="$1" -v t="$2" 'BEGIN { printf "<= %s %s", t, (r <= t) ? "met" : "missed" }'; }
cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
mem=$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
echo
echo "Pellucidor benchmark, $arch: medians of $runs interleaved runs of each side's whole Wine process"
echo "machine: $(nproc) cores, $cpu_model, $mem memory; $(wine --version 2>/dev/null); load average $load_before before the timed runs, $load_after after"
echo "sides: disk and memory floors; the filter loaded by path and as a stream (--named-stream), all text pulled, nothing printed"
echo
row='%-34s %7s %8s %8s %8s %8s  %-17s %-17s %6s %6s\n'
# shellcheck disable=SC2059
printf "$row" "wall [s]" entries disk memory path stream "stream/memory" "stream/disk" "CPU:" "s/m"
for n in "${names[@]}"; do
  for side in d m p s; do
    declare "w_$side=$(echo "${wall[$side$n]}" | med)" "c_$side=$(echo "${cpu[$side$n]}" | med)"
  done
  # shellcheck disable=SC2154
  rm_=$(ratio "$w_s" "$w_m"); rd_=$(ratio "$w_s" "$w_d")
  # shellcheck disable=SC2059,SC2154
  printf "$row" "${title[$n]}" "${entries[$n]}" "$(printf %.3f "$w_d")" "$(printf %.3f "$w_m")" "$(printf %.3f "$w_p")" \
    "$(printf %.3f "$w_s")" "$rm_ $(verdict "$rm_" "${target_m[$n]}")" "$rd_ $(verdict "$rd_" "${target_d[$n]}")" "" "$(ratio "$c_s" "$c_m")"
done
# A round's runs follow each other within seconds, while the machine's speed drifts over minutes:
# the spread of the ratios round by round shows how far a median of this run could move.
spread() {   # "f1 f2 .." "b1 b2 ..": lowest, median and highest of f_i / b_i
  awk -v f="$1" -v b="$2" 'BEGIN {
    n = split(f, fv, " "); split(b, bv, " ")
    for (i = 1; i <= n; ++i) r[i] = fv[i] / bv[i]
    for (i = 2; i <= n; ++i) for (j = i; j > 1 && r[j - 1] > r[j]; --j) { t = r[j]; r[j] = r[j - 1]; r[j - 1] = t }
    m = (n % 2) ? r[(n + 1) / 2] : (r[n / 2] + r[n / 2 + 1]) / 2
    printf "%.2f / %.2f / %.2f", r[1], m, r[n] }'
}
echo "ratio round by round, wall (lowest / median / highest):"
for n in "${names[@]}"; do
  printf '  %-34s stream/memory %s   stream/disk %s   path/memory %s\n' "${title[$n]}" \
    "$(spread "${wall[s$n]}" "${wall[m$n]}")" "$(spread "${wall[s$n]}" "${wall[d$n]}")" "$(spread "${wall[p$n]}" "${wall[m$n]}")"
done
# shellcheck disable=SC2046
printf 'start-up, an archive of one %s-byte entry (in every run above): disk %.3f s, memory %.3f s, path %.3f s, stream %.3f s\n' \
  "$(stat -c %s "$startup/one.$filtered_ext")" $(for side in d m p s; do echo "${wall[${side}s]}" | med; done)
echo
echo "where an extracted entry's time goes, in process (pellucidor-bench-parts; fastest batch of each step):"
echo "$parts_a" | awk '
  $1 == "part" && $4 > 0 { printf "  %-26s %9.1f us x %-3s = %8.1f us per entry\n", $2, $3, $4, $3 * $4 }
  $1 == "part" && $4 == 0 { printf "  %-26s %9.1f us    (once per run, or no longer on the road)\n", $2, $3 }
  $1 == "total" { printf "  walk of (a): %-13s %9.1f us per entry\n", $2, $3 }'
echo "$parts_b" | awk '
  $1 == "total" { printf "  walk of (b): %-13s %9.1f ms per entry\n", $2, $3 / 1000 }'
echo
echo "peak working set [MB], the filter DLL's own peak heap [MB] and most files at once in the temporary folders (untimed runs, printing):"
printf '%-34s %8s %8s %6s %8s %8s %6s %8s %8s %6s\n' archive path dll-heap files stream dll-heap files memory disk files
for n in a b c d e; do
  printf '%-34s %8s %8s %6s %8s %8s %6s %8s %8s %6s\n' "${title[$n]}" "$(mb "${peak_f[$n]}")" "$(mb "${heap_f[$n]}")" \
    "${files_f[$n]}" "$(mb "${peak_s[$n]}")" "$(mb "${heap_s[$n]}")" "${files_s[$n]}" "$(mb "${peak_m[$n]}")" \
    "$(mb "${peak_b[$n]}")" "${files_b[$n]}"
done
echo "one of (b)'s documents as a loose file, the same child filter and host without the archive filter: $(mb "$peak_loose") MB"
echo
echo "what each host keeps (untimed runs, as a stream): characters handed out per archive byte, and the longest call [ms]:"
printf '%-34s %10s %8s %16s %8s %12s %8s\n' archive none call windows-search call sharepoint call
for n in a b c d e; do
  read -r kn ln < <(kept_of "$work/$n.host-none" "$data/$n.rar")
  read -r kw lw < <(kept_of "$work/$n.host-windows-search" "$data/$n.rar")
  read -r ks ls_ < <(kept_of "$work/$n.host-sharepoint" "$data/$n.rar")
  printf '%-34s %10s %8s %16s %8s %12s %8s\n' "${title[$n]}" "$kn" "$ln" "$kw" "$lw" "$ks" "$ls_"
done
# Flat means that ten times the data does not raise the peak: a run's peak varies by a few hundred
# kilobytes of pages from run to run, while anything held per entry or per megabyte would add
# several megabytes over (e)'s 200 documents; 1 MB separates the two.
highest=0
for n in a b c d e; do
  for v in "${peak_f[$n]}" "${peak_s[$n]}"; do [ "$v" -gt "$highest" ] && highest=$v; done
done
awk -v h="$highest" -v bf="${peak_f[b]}" -v ef="${peak_f[e]}" -v bs="${peak_s[b]}" -v es="${peak_s[e]}" 'BEGIN {
  printf "targets: below 64 MB on both routes (highest %.1f MB): %s; (e) no higher than (b), within 1 MB: path %s (%+.1f MB), stream %s (%+.1f MB)\n",
    h / 1048576, (h < 67108864) ? "met" : "missed", (ef <= bf + 1048576) ? "met" : "missed", (ef - bf) / 1048576,
    (es <= bs + 1048576) ? "met" : "missed", (es - bs) / 1048576 }'

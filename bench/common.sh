# Sourced by the benchmark scripts after they set $here (the repository).
# It builds, keeps one wineserver running, makes a scratch directory $work,
# and on exit puts the configuration values it was asked to touch back the
# way it found them, then stops the server only if it started it (someone
# else's programs may be using a server that was already running).
#
# The benchmarks run in a Wine prefix of their own, build/bench-wine/wineprefix
# (made by scripts/wine-prefix on first use): tests run in build/wineprefix at
# the same time set the same configuration values, and would both disturb
# the figures and be disturbed by them. RD_BENCH_SHARED_PREFIX=1 uses
# build/wineprefix instead.
# Set by bench/run-all: RD_BENCH_PREPARED=1 skips the build;
# RD_BENCH_TABLE names a file that receives one row per figure.
: "${RD_BUILD_DIR:=$here/build}"
export RD_BUILD_DIR
# A half-edited test elsewhere in the tree must not stop the benchmarks: the
# programs they run are enough.
[ -n "$RD_BENCH_PREPARED" ] || "$here/scripts/build" >/dev/null 2>&1 ||
  cmake --build "$RD_BUILD_DIR" --target rundock rdchild rdsender rdlogwriter rdtimeoutprobe rdmemprobe rdlaunchprobe \
    rdcrashprobe rdminlauncher rdprovider rundock-check eventmsg >/dev/null
if [ -n "$RD_BENCH_SHARED_PREFIX" ]; then prefix_home=$RD_BUILD_DIR; else prefix_home=$RD_BUILD_DIR/bench-wine; fi
# scripts/wine-prefix keeps its prefix in $RD_BUILD_DIR/wineprefix.
RD_BUILD_DIR=$prefix_home "$here/scripts/wine-prefix"  # creates the prefix when missing
export WINEPREFIX="$prefix_home/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
own_server=
# Exit status 2: a server for this prefix is already running.
if wineserver -p 2>/dev/null; then own_server=1; fi
RD_BUILD_DIR=$prefix_home "$here/scripts/wine-prefix" --start ||
  { echo "${0##*/}: Wine would not start in $WINEPREFIX" >&2; exit 1; }
work=$(mktemp -d)
key='HKLM\SOFTWARE\Korvo\QRT Config\Config'
bin=$RD_BUILD_DIR/bin

config() { wine reg "$@" /f /reg:32 </dev/null >/dev/null 2>&1; }
# config_unset NAME: removes the value; that it may be absent is no failure.
config_unset() { config delete "$key" /v "$1" || true; }

# config_save NAME...: remembers each value (or its absence) for the exit.
config_save() {
  for name; do
    wine reg query "$key" /v "$name" /reg:32 </dev/null 2>/dev/null | tr -d '\r' |
      sed -n "s/^    $name    \(REG_[A-Z_]*\)    \(.*\)\$/$name \1 \2/p" > "$work/saved.$name"
    echo "$name" >> "$work/saved"
  done
}

config_restore() {
  [ -f "$work/saved" ] || return 0
  while read -r name; do
    if [ -s "$work/saved.$name" ]; then
      read -r _ type data < "$work/saved.$name"
      config add "$key" /v "$name" /t "$type" /d "$data"
    else
      config_unset "$name"
    fi
  done < "$work/saved"
}

# config_value NAME: the value's data as reg prints it, empty when absent.
config_value() {
  wine reg query "$key" /v "$1" /reg:32 </dev/null 2>/dev/null | tr -d '\r' |
    sed -n "s/^    $1    REG_[A-Z_]*    //p"
}

# config_intact NAME EXPECTED [NAME EXPECTED]...: tests in a shared prefix
# set these values too; a value found changed (EXPECTED empty: absent) is
# reported, and run-all's table marks the benchmark's figures unreliable.
config_intact() {
  while [ $# -ge 2 ]; do
    v=$(config_value "$1")
    if [ "$v" != "$2" ]; then
      printf "%s: %s was changed by another process during the run (now '%s', expected '%s')\n" \
        "${0##*/}" "$1" "$v" "$2" >&2
      row "${0##*/}: $1 changed by another process during the run" "figures unreliable" "-" "no"
    fi
    shift 2
  done
}

cleanup() {
  set +e  # one failed restore must not skip the rest
  config_restore
  # Waits for the server's end, or a benchmark run right after this one
  # could meet it still shutting down.
  [ -z "$own_server" ] || { wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; } || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
now() { date +%s%N; }
median() { sort -n | awk '{a[NR]=$1} END {if (NR) print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
maximum() { sort -n | tail -n 1; }
# quartiles FILE: the first and third quartiles of the numbers in $work/FILE.
quartiles() { sort -n "$work/$1" | awk '{a[NR]=$1} END {print a[int(NR/4)+1] " to " a[int(3*NR/4)]}'; }

# row MEASUREMENT VALUE TARGET MET: one line of bench/run-all's table.
row() { [ -z "$RD_BENCH_TABLE" ] || printf '%s\t%s\t%s\t%s\n' "$@" >> "$RD_BENCH_TABLE"; }
# Stream files of one run's own (NAME: the run's kind and number): under Wine a
# child of the run before may still hold its files for a moment, and the next
# run's start would fail on them.
own_streams() { export RD_STDOUT="$w\\out-$1.txt" RD_STDERR="$w\\err-$1.txt"; }

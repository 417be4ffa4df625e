#!/bin/sh
# Runs the README's examples as written, from a scratch folder laid out like a checkout after
# "make build" (build/bin, build/lib, and the source folders the examples name). Every command run
# here must appear in README.md character for character; /tmp/ paths become paths inside the
# scratch folder so that parallel runs never meet.
#   readme_examples_test.sh SOURCE_DIR BUILD_DIR
set -eu
source_dir=$1
build_dir=$2
scratch=$(mktemp -d)
pids=""
cleanup() {
    for pid in $pids; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

mkdir -p "$scratch/checkout/build" "$scratch/tmp" "$scratch/config"
ln -s "$build_dir/bin" "$scratch/checkout/build/bin"
ln -s "$build_dir/lib" "$scratch/checkout/build/lib"
for folder in reader brevant; do
    ln -s "$source_dir/$folder" "$scratch/checkout/$folder"
done
export TMPDIR="$scratch/tmp" XDG_CONFIG_HOME="$scratch/config"
# A sanitizer build's library wants its runtime first; a program built with plain cc loads it later.
export ASAN_OPTIONS=verify_asan_link_order=0
# The reader library's waits are sized for a real reader; a simulator built with sanitizers on a
# busy machine answers later, so they are stretched (the library's own knob, not the README's).
export QUOR_B_TIMEOUT_SCALE=20

# The README's lines set variables of their own (src): the script's names stay apart.
# Runs one README line in the scratch checkout (or where an earlier line went) and keeps its
# standard output in $out. A line ending in & runs in the background.
out=""
run() {
    grep -qF -- "$1" "$source_dir/README.md" || fail "not in README.md: $1"
    line=$(printf '%s' "$1" | sed "s#/tmp/#$scratch/tmp/#g")
    case "$line" in
    *"&"*)
        eval "$line" >/dev/null
        pids="$pids $!"
        ;;
    *)
        # In this shell, so that a line's cd and variables hold for the next ones.
        status=0
        eval "$line" >"$scratch/out" || status=$?
        [ "$status" -eq 0 ] || fail "exit status $status from: $1 ($(cat "$scratch/out"))"
        out=$(cat "$scratch/out")
        ;;
    esac
}
# Waits for a link that a background line creates.
wait_for() {
    i=0
    until [ -e "$1" ]; do
        i=$((i + 1))
        [ "$i" -lt 2000 ] || fail "$1 did not appear"
        sleep 0.01
    done
}

cd "$scratch/checkout"
run 'build/bin/vport loop /tmp/loop &'
run 'build/bin/vport pair /tmp/a /tmp/b &'
wait_for "$scratch/tmp/loop"
wait_for "$scratch/tmp/b"
run 'echo hello | build/bin/porvane-cli term /tmp/loop --linger 1000'
[ "$out" = hello ] || fail "term echoed '$out'"
run 'build/bin/porvane-cli test /tmp/loop --seconds 4 --insert 1/1000'
printf '%s\n' "$out" | head -1 | grep -q '^# tick' || fail "test printed no header: $out"
printf '%s\n' "$out" | grep -q '^# G.821: ' || fail "test printed no summary: $out"
run 'build/bin/porvane-cli test /tmp/loop | head -3  # ends as soon as head has its lines'
[ "$(printf '%s\n' "$out" | wc -l)" -eq 3 ] || fail "test | head -3 printed: $out"

run "printf 'ttyS0=/tmp/loop\n' > /tmp/ports.map"
run 'PORVANE_DEVICE_MAP=/tmp/ports.map build/bin/porvane-cli ports'
[ "$out" = "$scratch/tmp/loop" ] || fail "ports listed '$out'"

run 'build/bin/quor-sim /tmp/reader &'
wait_for "$scratch/tmp/reader"
run 'COM1=/tmp/reader build/bin/brevant-cli run brevant/examples/commands.ini --port 1 --wait 1000'
[ "$(printf '%s\n' "$out" | wc -l)" -eq 3 ] || fail "brevant-cli printed: $out"
run 'COM1=/tmp/reader build/bin/quor_list_serial'
[ "$out" = "card type 0004, serial 3A7C9105" ] || fail "quor_list_serial printed '$out'"

# The C example, built in a scratch folder of its own.
run 'src=$PWD && cd "$(mktemp -d)"'
run 'cc "$src/reader/examples/list_serial.c" -I"$src/reader/include" -L"$src/build/lib" -lquor_b -o list_serial'
run 'COM1=/tmp/reader LD_LIBRARY_PATH="$src/build/lib" ./list_serial'
[ "$out" = "card type 0004, serial 3A7C9105" ] || fail "list_serial printed '$out'"
[ ! -e "$scratch/checkout/list_serial" ] || fail "the example was built in the checkout"
echo "README examples: all ran"

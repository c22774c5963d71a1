#!/bin/sh
# Builds the libFuzzer targets with clang in build-fuzz and runs each for SECONDS seconds, one
# after the other. New inputs go to a scratch corpus under build-fuzz, so the seeds in
# fuzz/corpus stay small. A target keeps fuzzing after a crash (an open fault must not hide the
# next one); afterwards each crash, leak, time-out or memory overrun whose kind is new is copied
# to fuzz/regression/<target>/, where the regression tests pick it up, and the script fails.
# Usage: scripts/fuzz.sh SECONDS [target...]
set -eu
cd "$(dirname "$0")/.."
repo=$(pwd)
seconds=${1:?usage: scripts/fuzz.sh SECONDS [target...]}
shift
targets=${*:-fuzz_config_line fuzz_metadata fuzz_control_answer}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBWV_FUZZ=ON \
    -DBWV_BUILD_TESTS=OFF >/dev/null
for target in $targets; do
    cmake --build "$build" -j2 --target "$target" >/dev/null
done

export LSAN_OPTIONS="suppressions=$repo/fuzz/lsan.supp:print_suppressions=0"

# What a failing input does: the Qt message, the sanitizer's summary without its numbers and
# the first frame in our code. Inputs with the same signature show the same fault.
signature() {
    out=$(TMPDIR="$repo/$run/tmp" "$build/fuzz/$target" "$1" 2>&1 || true)
    printf '%s|%s|%s\n' "$(printf '%s\n' "$out" | grep -m1 -o 'Qt message: .*' || true)" \
        "$(printf '%s\n' "$out" | grep -m1 '^SUMMARY' | tr -d 0-9 || true)" \
        "$(printf '%s\n' "$out" | grep -m1 -o "$repo/[^ :]*:[0-9]*" || true)"
}

failed=0
for target in $targets; do
    # The metadata loader's leaks are found through Qt, which has no frame pointers: only full
    # stacks (slower) let the suppressions match there.
    export ASAN_OPTIONS=fast_unwind_on_malloc=1
    case $target in
    fuzz_config_line) max_len=65536 ;;
    fuzz_metadata) max_len=1048576 ASAN_OPTIONS=fast_unwind_on_malloc=0 ;;
    *) max_len=262144 ;; # room for lines past the reader's 64 KiB cut
    esac
    run="$build/run/$target"
    rm -rf "$run/artifacts" "$run/tmp"
    mkdir -p "$run/corpus" "$run/artifacts" "$run/tmp"
    # New inputs are written to the first corpus folder only. The harnesses' temporary
    # folders, left behind by a crash, stay under the run folder.
    status=0
    TMPDIR="$repo/$run/tmp" "$build/fuzz/$target" -fork=1 -ignore_crashes=1 \
        -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=2048 -timeout=30 \
        -dict="fuzz/$target.dict" -artifact_prefix="$run/artifacts/" \
        "$run/corpus" "fuzz/corpus/$target" >"$run/log" 2>&1 || status=$?

    # An open fault is hit hundreds of times; the smallest inputs show every kind soon enough.
    found=$(ls -Sr "$run/artifacts" | head -n 50)
    echo "$target: $seconds s, $(grep -E '^#[0-9]+: cov' "$run/log" | tail -n 1)"
    if [ -n "$found" ] || ! grep -q '^INFO: exiting: 0' "$run/log"; then
        failed=1
        echo "  failed (status $status, $(ls "$run/artifacts" | wc -l) inputs), log: $run/log"
    fi
    known=$(for input in "fuzz/regression/$target"/*; do
        if [ -f "$input" ]; then signature "$input"; fi
    done)
    for name in $found; do # smallest first
        kind=$(signature "$run/artifacts/$name")
        if ! printf '%s\n' "$known" | grep -qxF "$kind"; then
            mkdir -p "fuzz/regression/$target"
            cp "$run/artifacts/$name" "fuzz/regression/$target/"
            known=$(printf '%s\n%s' "$known" "$kind")
            echo "  kept fuzz/regression/$target/$name: $kind"
        fi
    done
done
exit $failed

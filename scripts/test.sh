#!/usr/bin/env bash
# The test command: installs what is missing, checks formatting, builds and tests
# the default preset, then the sanitizer presets and a short fuzzing run.
# Starts the PulseAudio null sink the audio tests record, and stops it at the end
# (also on failure).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
fuzz_seconds=${TOLVANE_FUZZ_SECONDS:-20}

echo "== format check"
git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run -Werror

# A PulseAudio daemon of this run's own (its own runtime directory), so nothing
# else on the machine can stop it or play into it while the tests listen.
PULSE_RUNTIME_PATH=$(mktemp -d /tmp/tolvane-pulse-XXXXXX)
export PULSE_RUNTIME_PATH
scripts/pulse.sh start >/dev/null
cleanup() {
    local rc=$?
    # A failed run ends with the sound daemon's state, since a daemon that died
    # fails every audio test after it.
    if [[ $rc -ne 0 ]]; then
        scripts/pulse.sh status || true
    fi
    scripts/pulse.sh stop
    rm -rf "$PULSE_RUNTIME_PATH"
}
trap cleanup EXIT

# The tests of a preset. Real-time audio tests need the sound daemon; when
# only they failed and the daemon has died meanwhile (on a shared virtual
# machine a stalled host can end it), it is restarted and the failed ones run
# once more (their first output stays in LastTest-first.log). An audio test
# that failed while the daemon ran, or any other failure, ends the run.
second_runs=()
run_tests() {
    local preset=$1
    local status=0
    ctest --preset "$preset" -j "$jobs" || status=$?
    report_skips "$preset"
    if [[ $status -eq 0 ]]; then
        return 0
    fi
    local temporary=build/$preset/Testing/Temporary
    local failed
    failed=$(cut -d: -f2 "$temporary/LastTestsFailed.log")
    local audio
    audio=$(ctest --preset "$preset" -N -L audio | sed -n 's/^ *Test *#[0-9]*: //p')
    local name
    for name in $failed; do
        if ! grep -qx "$name" <<<"$audio"; then
            return 1
        fi
    done
    echo "== $preset: only audio tests failed:" $failed
    if scripts/pulse.sh status; then
        echo "== $preset: the sound daemon is running, so these are real failures"
        return 1
    fi
    cp "$PULSE_RUNTIME_PATH/daemon.log" "$PULSE_RUNTIME_PATH/daemon-first.log" 2>/dev/null || true
    scripts/pulse.sh start
    cp "$temporary/LastTest.log" "$temporary/LastTest-first.log"
    echo "== $preset: second run of the failed audio tests"
    ctest --preset "$preset" --rerun-failed
    second_runs+=("$preset:" $failed)
}

# Test cases that skipped themselves (a missing device, a vector unit the
# machine lacks), named so that a skip is never mistaken for a pass.
report_skips() {
    local preset=$1
    local skipped
    skipped=$(grep -h '^\[  SKIPPED \] [A-Za-z]' build/"$preset"/Testing/Temporary/LastTest.log 2>/dev/null |
        sed 's/ ([0-9]* ms)$//' | sort -u || true)
    if [[ -n "$skipped" ]]; then
        echo "== $preset: test cases that skipped themselves:"
        echo "$skipped"
    fi
}

run_preset() {
    local preset=$1
    echo "== $preset: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "== $preset: test"
    run_tests "$preset"
}

run_preset default
run_preset asan
run_preset tsan

echo "== fuzz: ${fuzz_seconds}s per target"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for target in build/fuzz/tests/fuzz/fuzz_*; do
    [[ -x "$target" ]] || continue
    name=$(basename "$target")
    corpus=tests/fuzz/corpus/${name#fuzz_}
    work=$(mktemp -d)
    [[ -d "$corpus" ]] && cp -r "$corpus"/. "$work"/
    echo "-- $name"
    "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=0 "$work" 2>&1 | tail -n 3
    rm -rf "$work"
done
if [[ ${#second_runs[@]} -gt 0 ]]; then
    echo "audio tests that passed only on their second run: ${second_runs[*]}"
    echo "the daemon's log up to their first run:"
    tail -n 20 "$PULSE_RUNTIME_PATH/daemon-first.log" 2>/dev/null || true
fi
echo "all tests passed"

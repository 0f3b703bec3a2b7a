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

# The run's own folder: HOME and the XDG folders point into it, so nothing in
# the run (the sound daemon and its clients, the builds, anything a test
# program starts before making its own home) reads or writes the invoking
# user's files. The compiler cache is kept outside the home (see CMakeLists.txt).
run_dir=$(mktemp -d /tmp/tolvane-test-run-XXXXXX)
export HOME=$run_dir/home XDG_CONFIG_HOME=$run_dir/home/.config XDG_DATA_HOME=$run_dir/home/.local/share
export XDG_CACHE_HOME=$run_dir/home/.cache XDG_STATE_HOME=$run_dir/home/.local/state
export XDG_RUNTIME_DIR=$run_dir/runtime
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS
# A PulseAudio daemon of this run's own (its own runtime directory), so nothing
# else on the machine can stop it or play into it while the tests listen.
export PULSE_RUNTIME_PATH=$run_dir/pulse
mkdir -m 700 "$PULSE_RUNTIME_PATH"
scripts/pulse.sh start >/dev/null
# The background builds (see below), stopped with the run.
builder=
stop_builder() {
    if [[ -n "$builder" ]] && kill -0 "$builder" 2>/dev/null; then
        kill -- -"$builder" 2>/dev/null || true
        wait "$builder" 2>/dev/null || true
    fi
}
cleanup() {
    local rc=$?
    stop_builder
    # A failed run ends with the sound daemon's state, since a daemon that died
    # fails every audio test after it.
    if [[ $rc -ne 0 ]]; then
        scripts/pulse.sh status || true
    fi
    scripts/pulse.sh stop
    rm -rf "$run_dir"
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
    shift
    local status=0
    ctest --preset "$preset" -j "$jobs" "$@" || status=$?
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

# The sanitizer and fuzz builds run in the background at idle priority
# (SCHED_IDLE) while the tests that do not play in real time run: those spend
# much of their time waiting on servers and children, and an idle-priority
# compiler takes only the time they leave. The real-time audio tests run last,
# on a quiet machine, once every build is done: measured, a compiler even at
# idle priority makes the sound they record falter. Each build leaves its exit
# status in build/PRESET/build.status and its output in build/PRESET/build.log.
background_presets=(asan tsan fuzz)
wait_for_build() {
    local preset=$1
    local status=build/$preset/build.status
    while [[ ! -s "$status" ]]; do
        if ! kill -0 "$builder" 2>/dev/null && [[ ! -s "$status" ]]; then
            echo "== $preset: the background build ended without a result"
            tail -n 40 "build/$preset/build.log" 2>/dev/null || true
            return 1
        fi
        sleep 2
    done
    if [[ $(cat "$status") != 0 ]]; then
        echo "== $preset: build failed"
        tail -n 60 "build/$preset/build.log"
        return 1
    fi
    echo "== $preset: built ($(grep -c '^\[' "build/$preset/build.log" || true) steps)"
}

start=$SECONDS
elapsed() { echo "$((SECONDS - start)) s"; }

for preset in default "${background_presets[@]}"; do
    echo "== $preset: configure"
    cmake --preset "$preset" >/dev/null
    rm -f "build/$preset/build.status"
done

echo "== default: build"
cmake --build --preset default -j "$jobs"

setsid chrt --idle 0 bash -c '
    for preset in "$@"; do
        cmake --build --preset "$preset" -j '"$jobs"' >"build/$preset/build.log" 2>&1
        echo $? >"build/$preset/build.status"
    done' builder "${background_presets[@]}" &
builder=$!

echo "== default: tests that do not play in real time (at $(elapsed))"
run_tests default -LE audio
for preset in asan tsan; do
    wait_for_build "$preset"
    echo "== $preset: test (at $(elapsed))"
    run_tests "$preset"
done
wait_for_build fuzz

echo "== default: real-time audio tests, one at a time (at $(elapsed))"
run_tests default -L audio

echo "== fuzz: ${fuzz_seconds}s per target, $jobs at a time (at $(elapsed))"
fuzz_one() {
    local target=$1 seconds=$2
    local name corpus work status=0
    name=$(basename "$target")
    corpus=tests/fuzz/corpus/${name#fuzz_}
    work=$(mktemp -d)
    [[ -d "$corpus" ]] && cp -r "$corpus"/. "$work"/
    "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=0 "$work" >"$target.log" 2>&1 || status=$?
    rm -rf "$work"
    return $status
}
export -f fuzz_one
fuzz_status=0
find build/fuzz/tests/fuzz -maxdepth 1 -name 'fuzz_*' -type f -executable -print0 | sort -z |
    xargs -0 -n 1 -P "$jobs" bash -c 'fuzz_one "$1" '"$fuzz_seconds" fuzz || fuzz_status=$?
for log in build/fuzz/tests/fuzz/fuzz_*.log; do
    echo "-- $(basename "$log" .log)"
    tail -n 3 "$log"
done
if [[ $fuzz_status -ne 0 ]]; then
    echo "== fuzz: a target failed (its log above)"
    exit 1
fi
if [[ ${#second_runs[@]} -gt 0 ]]; then
    echo "audio tests that passed only on their second run: ${second_runs[*]}"
    echo "the daemon's log up to their first run:"
    tail -n 20 "$PULSE_RUNTIME_PATH/daemon-first.log" 2>/dev/null || true
fi
echo "all tests passed (in $(elapsed))"

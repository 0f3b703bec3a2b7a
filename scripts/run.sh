#!/usr/bin/env bash
# The main job: makes a short melody, shows what the engine reads from it,
# decodes it and plays it. Without an answering audio device it says so and
# stops after decoding.
set -euo pipefail
cd "$(dirname "$0")/.."
play=build/default/tools/tolvane-play
[ -x "$play" ] || { echo "run.sh: $play is missing; 'make run' builds it first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A plucked melody with a little room around it, made fresh each run.
notes="E4 0.3 E4 0.3 F4 0.3 G4 0.3 G4 0.3 F4 0.3 E4 0.3 D4 0.3
       C4 0.3 C4 0.3 D4 0.3 E4 0.3 E4 0.45 D4 0.15 D4 0.8"
set -- $notes
i=10
while [ $# -ge 2 ]; do
    sox -q -n -r 44100 -b 16 -c 2 "$work/n$i.wav" synth "$2" pluck "$1" fade 0 "$2" 0.05
    i=$((i + 1))
    shift 2
done
sox -q "$work"/n*.wav "$work/melody.wav" reverb 40 gain -n -3
lame --quiet -V 2 --tt "Tolvane demo" "$work/melody.wav" "$work/melody.mp3"

echo "== tolvane-play info melody.mp3"
"$play" info "$work/melody.mp3"

echo "== tolvane-play decode melody.mp3 decoded.wav --fade-out 400"
"$play" decode "$work/melody.mp3" "$work/decoded.wav" --fade-out 400
echo "$(stat -c %s "$work/decoded.wav") bytes of 16-bit stereo PCM"

# A short silent probe tells whether an output device answers at all.
sox -q -n -r 44100 -b 16 -c 2 "$work/probe.wav" trim 0 0.1
lame --quiet -b 128 "$work/probe.wav" "$work/probe.mp3"
if ! "$play" play "$work/probe.mp3" >/dev/null 2>"$work/probe.err"; then
    echo "== no audio device answered ($(tail -n 1 "$work/probe.err")); nothing to hear here."
    exit 0
fi
echo "== tolvane-play play melody.mp3 (space pauses, q stops)"
"$play" play "$work/melody.mp3"

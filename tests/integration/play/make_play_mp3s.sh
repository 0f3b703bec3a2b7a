#!/bin/sh
# Makes the MP3 files the tolvane-play tests decode and play, into the folder
# given as the only argument: synthetic music-like signals (chords over pink
# noise, a sweep) encoded by lame, sox and ffmpeg in the MPEG versions, layers,
# rates, channel modes and bit-rate modes players meet.
set -eu
out=${1:?usage: make_play_mp3s.sh OUTDIR}
mkdir -p "$out"
cd "$out"

s() { sox -q -R "$@"; } # -R: repeatable noise and dither

# A different chord and noise on each side; a mono mix of it; a centred
# signal (both sides equal); a sweep whose pitch tells the position.
s -n -r 48000 -b 16 -c 2 chord.wav synth 3 sine 262 sine 392 gain -9
s -n -r 48000 -b 16 -c 2 noise.wav synth 3 pinknoise pinknoise gain -18
s -m chord.wav noise.wav -b 16 music48.wav gain 3
s music48.wav -r 44100 music44.wav
s music48.wav -r 32000 music32.wav
s music48.wav -r 24000 music24.wav
s music48.wav -r 11025 music11.wav
s music48.wav -r 22050 -c 1 mono22.wav
s music48.wav -r 16000 -c 1 mono16.wav
s music48.wav -r 12000 -c 1 mono12.wav
s -n -r 44100 -b 16 -c 1 centre.wav synth 3 sine 440 gain -6
s centre.wav -c 2 centre44.wav
s -n -r 44100 -b 16 -c 2 sweep44.wav synth 4 sine 300-3000 sine 300-3000 gain -6
s -n -r 44100 -b 16 -c 2 tone44.wav synth 4 sine 500 gain -6
# 350 Hz on the left, 5000 Hz on the right, quiet enough for +18 dB of gain:
# the two tones lie in different bands of both equalizers.
s -n -r 44100 -b 16 -c 2 tones44.wav synth 3 sine 350 sine 5000 gain -20

enc() { lame --quiet --noreplaygain "$@"; }
enc -b 192 music44.wav l3_cbr44_joint.mp3            # MPEG-1, joint stereo, Info header
enc -m s -b 256 music44.wav l3_cbr44_stereo.mp3      # MPEG-1, plain stereo
enc -m d -b 160 music44.wav l3_cbr44_dual.mp3        # MPEG-1, dual channel
enc -V 2 music48.wav l3_vbr48.mp3                    # MPEG-1 VBR, Xing and LAME headers
enc --abr 96 music32.wav l3_abr32.mp3                # MPEG-1 at 32 kHz, average bit rate
enc -V 5 music24.wav l3_vbr24.mp3                    # MPEG-2 VBR stereo
enc -b 24 -m m -p mono16.wav l3_cbr16_mono_crc.mp3   # MPEG-2 mono with CRC
enc -b 32 music11.wav l3_cbr11.mp3                   # MPEG-2.5 stereo
enc -V 6 -m m mono12.wav l3_vbr12_mono.mp3           # MPEG-2.5 VBR mono
enc -b 128 -t music44.wav l3_cbr44_noheader.mp3      # no VBR header frame at all
enc --freeformat -b 400 music44.wav l3_free44.mp3    # free-format bit rate
enc -b 320 --scale 3 music44.wav l3_loud44.mp3       # three times full scale: clips
enc -V 2 -m m --scale 3 mono22.wav l3_loud22_mono.mp3
enc -b 128 sweep44.wav sweep44.mp3
enc -b 128 -m s centre44.wav centre44.mp3
enc -b 128 tone44.wav tone44.mp3
enc -b 192 -m s tones44.wav tones44.mp3

s music44.wav -C 128 sox_cbr44.mp3                   # sox's own MP3 writer, CBR
s mono22.wav -C -4.2 sox_vbr22_mono.mp3              # and VBR

ffm() { ffmpeg -nostdin -loglevel error -y "$@"; }
ffm -i music44.wav -c:a libmp3lame -q:a 3 ff_vbr44.mp3           # ffmpeg's Xing header
ffm -i music48.wav -c:a mp2 -b:a 256k -f mp2 ff_l2_48.mp2        # MPEG-1 Layer II
ffm -i music32.wav -c:a mp2 -b:a 128k -f mp2 ff_l2_32.mp2
ffm -i mono22.wav -c:a mp2 -b:a 64k -f mp2 ff_l2_22_mono.mp2     # MPEG-2 Layer II
ffm -i music24.wav -c:a mp2 -b:a 96k -f mp2 ff_l2_24.mp2

rm -f ./*.wav

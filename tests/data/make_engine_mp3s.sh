#!/bin/sh
# Makes the MP3 files the engine tests play, into the folder given as the only
# argument. Every file is made from synthetic signals with sox and encoded
# with lame or ffmpeg, so nothing binary is kept in the repository.
set -eu
out=${1:?usage: make_engine_mp3s.sh OUTDIR}
mkdir -p "$out"
cd "$out"

# Signals: a different tone on each side, a mono tone, a rising sweep (its
# pitch tells the position), tones the encoder scales beyond full scale,
# and opposite channels at full scale.
sox -q -n -r 44100 -b 16 -c 2 stereo44.wav synth 5 sine 440 sine 660 gain -6
sox -q -n -r 22050 -b 16 -c 1 mono22.wav synth 3 sine 523 gain -6
sox -q -n -r 44100 -b 16 -c 1 mono44.wav synth 2 sine 330 gain -6
sox -q -n -r 8000 -b 16 -c 1 mono8.wav synth 2 sine 300 gain -6
sox -q -n -r 44100 -b 16 -c 2 sweep44.wav synth 45 sine 200-2000 gain -6
sox -q -n -r 44100 -b 16 -c 2 loud44.wav synth 3 sine 220 sine 330 gain -1
sox -q -n -r 44100 -b 16 -c 2 short44.wav synth 0.05 sine 440 gain -6
sox -q -n -r 44100 -b 16 -c 1 side.wav synth 2 sine 500 gain -1
sox -q -M side.wav "|sox side.wav -p vol -1" opposite44.wav

enc() { lame --quiet --noreplaygain "$@"; }

enc -b 128 stereo44.wav cbr44.mp3                 # CBR with an Info header
enc -b 128 -t stereo44.wav cbr44_notag.mp3        # CBR without any VBR header
enc -V 4 stereo44.wav vbr44.mp3                   # VBR with Xing and LAME headers
enc -V 4 -t stereo44.wav vbr44_notag.mp3          # VBR without a header
enc -b 128 -p stereo44.wav crc44.mp3              # CRC-protected frames
enc -b 32 -m m mono22.wav mono22.mp3              # MPEG-2 mono
enc -b 64 -m m mono44.wav mono44.mp3              # MPEG-1 mono
enc -b 16 -m m mono8.wav mpeg25_8k.mp3            # MPEG-2.5
enc -V 6 -m m mono22.wav vbr22_mono.mp3           # MPEG-2 VBR mono
enc -b 128 sweep44.wav sweep44.mp3                # 45 s for seeking
enc -b 320 --scale 2 loud44.wav loud44.mp3        # twice full scale: clips after decoding
enc -b 128 -t short44.wav short44.mp3             # shorter than a wave buffer
enc -b 128 -m s opposite44.wav opposite44.mp3     # L = -R at full scale
enc -b 128 --add-id3v2 --tt Title --ta Artist stereo44.wav id3v2_44.mp3
enc -b 128 --id3v1-only --tt Title --ta Artist stereo44.wav id3v1_44.mp3

ffm() { ffmpeg -nostdin -loglevel error -y "$@"; }
ffm -i stereo44.wav -c:a mp2 -b:a 192k -f mp2 layer2_44.mp3         # MPEG-1 Layer II
ffm -i mono22.wav -c:a mp2 -b:a 64k -f mp2 layer2_22.mp3         # MPEG-2 Layer II
ffm -i stereo44.wav -c:a libmp3lame -b:a 96k ffmpeg44.mp3    # ffmpeg's own Xing header

# Junk between an ID3v2 tag and the first frame: the search passes over it.
printf 'ID3\003\000\000\000\000\000\020' > junk44.mp3
head -c 16 /dev/zero >> junk44.mp3
printf 'not audio at all' >> junk44.mp3
cat cbr44_notag.mp3 >> junk44.mp3

rm -f ./*.wav

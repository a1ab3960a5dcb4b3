#!/usr/bin/env bash
# Writes the fuzzer's seed corpus: tiny videos (64x64 and 10-30 frames but for
# one, each well under 20 KB) in the containers and codings the session handles, made with the
# ffmpeg command (and its libx264, libx265) from lavfi test sources.
#
#   tests/fuzz/make_seeds.sh OUT_DIR
#
# Files already in OUT_DIR are kept, so a second run costs nothing.
set -euo pipefail

OUT=${1:?usage: make_seeds.sh OUT_DIR}
mkdir -p "$OUT"
FFMPEG=(ffmpeg -hide_banner -loglevel error -nostdin -y)
SRC=(-f lavfi -i testsrc2=size=64x64:rate=25)
X264=(-c:v libx264 -preset veryfast)

seed() {
    local name=$1
    shift
    [ -s "$OUT/$name" ] && return 0
    "${FFMPEG[@]}" "$@" "$OUT/.partial-$name" && mv "$OUT/.partial-$name" "$OUT/$name"
}

# H.264, CABAC, B-frames, open GOPs, several slices per picture.
seed h264_cabac_bframes_opengop.mp4 "${SRC[@]}" -frames:v 30 "${X264[@]}" -bf 3 -g 10 \
    -x264-params open-gop=1:slices=2 -crf 30
# H.264 baseline: CAVLC, no B-frames.
seed h264_cavlc_baseline.mp4 "${SRC[@]}" -frames:v 20 "${X264[@]}" -profile:v baseline -g 8 -crf 28
# 10-bit luma and chroma.
seed h264_10bit.mkv "${SRC[@]}" -frames:v 12 "${X264[@]}" -pix_fmt yuv420p10le -profile:v high10 -bf 2 -crf 30
# 4:4:4 and 4:2:2 chroma, lossless macroblocks (QP 0).
seed h264_444_lossless.mkv "${SRC[@]}" -frames:v 4 "${X264[@]}" -pix_fmt yuv444p -qp 0 -g 5
seed h264_422.mp4 "${SRC[@]}" -frames:v 10 "${X264[@]}" -pix_fmt yuv422p -bf 1 -crf 32
# Interlaced (MBAFF) with chroma QP offsets.
seed h264_interlaced.mkv "${SRC[@]}" -frames:v 12 "${X264[@]}" -flags +ildct+ilme \
    -x264-params interlaced=1:chroma-qp-offset=3 -crf 30
# More pictures than the session caches (64), so that requests evict records.
seed h264_100_frames_16x16.mp4 -f lavfi -i testsrc2=size=16x16:rate=25 -frames:v 100 "${X264[@]}" \
    -bf 2 -g 50 -crf 40
# MP4 with the index at the end, at the front, and fragmented.
seed h264_plain.mp4 "${SRC[@]}" -frames:v 20 "${X264[@]}" -bf 2 -g 7 -crf 32
seed h264_faststart.mp4 "${SRC[@]}" -frames:v 20 "${X264[@]}" -bf 2 -g 7 -crf 32 -movflags +faststart
seed h264_fragmented.mp4 "${SRC[@]}" -frames:v 20 "${X264[@]}" -bf 2 -g 5 -crf 32 \
    -movflags frag_keyframe+empty_moov
# An edit list that starts the stream part-way into a key group.
seed h264_editlist.mp4 -ss 0.2 -i "$OUT/h264_plain.mp4" -c copy -frames:v 12
# Matroska, with audio interleaved.
seed h264_audio.mkv "${SRC[@]}" -f lavfi -i sine=frequency=440:sample_rate=8000:duration=0.6 \
    -frames:v 15 "${X264[@]}" -bf 2 -crf 34 -c:a pcm_u8 -shortest
# Raw Annex B stream without timestamps.
seed h264_raw.h264 "${SRC[@]}" -frames:v 20 "${X264[@]}" -bf 2 -g 10 -crf 32 -f h264
# H.264 in MPEG-TS.
seed h264.ts "${SRC[@]}" -frames:v 15 "${X264[@]}" -bf 2 -crf 34
# MPEG-2 video in MPEG-TS and raw, MPEG-1 in MPEG-PS.
seed mpeg2.ts "${SRC[@]}" -frames:v 15 -c:v mpeg2video -bf 2 -g 6 -q:v 8
seed mpeg2_raw.m2v "${SRC[@]}" -frames:v 15 -c:v mpeg2video -bf 2 -g 6 -q:v 10 -f mpeg2video
seed mpeg1.mpg "${SRC[@]}" -frames:v 12 -c:v mpeg1video -bf 1 -q:v 10 -f mpeg
# MPEG-4 Part 2 with B-frames in AVI (packets with a dts only) and raw.
seed mpeg4_bframes.avi "${SRC[@]}" -frames:v 15 -c:v mpeg4 -bf 2 -g 6 -q:v 8
# XviD packs a P and a B picture into one packet (the unpacking filter path).
seed xvid_packed.avi "${SRC[@]}" -frames:v 15 -c:v libxvid -bf 2 -g 6 -q:v 8
seed mpeg4_raw.m4v "${SRC[@]}" -frames:v 15 -c:v mpeg4 -bf 1 -q:v 10 -f m4v
# Raw HEVC with open GOPs (CRA and RASL pictures), and its remux whose pts
# copy the dts.
seed hevc_raw.hevc "${SRC[@]}" -frames:v 20 -c:v libx265 \
    -x265-params log-level=error:keyint=8:min-keyint=8:bframes=3:crf=34 -f hevc
seed hevc_remux.mp4 -i "$OUT/hevc_raw.hevc" -c copy
# HEVC: wavefronts, B-frames and CU-level QP deltas down to 8x8 (adaptive
# quantisation); 10-bit in two slices with chroma QP offsets; a raw stream.
X265=(-c:v libx265 -x265-params)
seed hevc_wpp_aq.mkv "${SRC[@]}" -frames:v 16 "${X265[@]}" \
    log-level=error:crf=30:ctu=32:min-cu-size=8:qg-size=8:aq-mode=2:wpp=1:bframes=3:keyint=8
seed hevc_10bit_slices.mp4 "${SRC[@]}" -frames:v 10 -pix_fmt yuv420p10le "${X265[@]}" \
    log-level=error:crf=32:ctu=16:slices=2:cbqpoffs=-3:crqpoffs=4:keyint=5
seed hevc_raw_short.hevc "${SRC[@]}" -frames:v 12 "${X265[@]}" log-level=error:crf=34:bframes=2:keyint=6 \
    -f hevc

# Fast-start MP4s (index at the front) cut short: the index lists samples past
# the end of the file.
cut_seed() {
    local name=$1 source=$2 percent=$3
    [ -s "$OUT/$name" ] && return 0
    head -c $(($(stat -c %s "$OUT/$source") * percent / 100)) "$OUT/$source" > "$OUT/.partial-$name"
    mv "$OUT/.partial-$name" "$OUT/$name"
}
cut_seed h264_faststart_cut.mp4 h264_faststart.mp4 61
seed hevc_faststart.mp4 "${SRC[@]}" -frames:v 12 "${X265[@]}" log-level=error:crf=34:bframes=2:keyint=6 \
    -movflags +faststart
cut_seed hevc_faststart_cut.mp4 hevc_faststart.mp4 61
# Streams decoded by slice threads (H.264 in four slices, HEVC wavefronts),
# with 40 bits flipped past their first 600 bytes.
flipped_seed() {
    local name=$1 source=$2
    [ -s "$OUT/$name" ] && return 0
    python3 - "$OUT/$source" "$OUT/.partial-$name" <<'PY'
import random, sys
data = bytearray(open(sys.argv[1], "rb").read())
rng = random.Random(21)
for _ in range(40):
    data[rng.randrange(600, len(data))] ^= 1 << rng.randrange(8)
open(sys.argv[2], "wb").write(data)
PY
    mv "$OUT/.partial-$name" "$OUT/$name"
}
seed h264_4_slices.h264 "${SRC[@]}" -frames:v 12 "${X264[@]}" -bf 2 -g 6 -crf 30 \
    -x264-params slices=4 -f h264
flipped_seed h264_4_slices_flipped.h264 h264_4_slices.h264
seed hevc_wpp.ts "${SRC[@]}" -frames:v 12 "${X265[@]}" \
    log-level=error:crf=30:ctu=16:wpp=1:bframes=2:keyint=6
flipped_seed hevc_wpp_flipped.ts hevc_wpp.ts

ls -l "$OUT" | awk 'NR > 1 && $5 >= 20480 { print "make_seeds: " $9 " is " $5 " bytes" > "/dev/stderr" }'

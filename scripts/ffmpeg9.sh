#!/usr/bin/env bash
# Builds FFmpeg 9 (9.0.2 when written) from Debian's source package into a cached prefix and runs
# the test suite against it, in a venv of its own (.venv-ffmpeg9).
#
#   scripts/ffmpeg9.sh            build if needed, then run the tests
#   scripts/ffmpeg9.sh --build    only build (or find) the cached prefix
#
# Exit status 0 with a single "SKIP:" line when the source cannot be had.
set -euo pipefail

CACHE_DIR=${MBGAUGE_CACHE:-$HOME/.cache/mbgauge}
PREFIX=$CACHE_DIR/ffmpeg-9
ROOT=$(cd "$(dirname "$0")/.." && pwd)

fetch_source() {
    # A private apt configuration, so that the system's sources stay untouched.
    local apt_dir=$CACHE_DIR/apt-sid
    mkdir -p "$apt_dir"/{state/lists/partial,cache/archives/partial,etc,download}
    local uri
    uri=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    if [ -z "$uri" ]; then
        uri=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
    fi
    [ -n "$uri" ] || return 1
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri sid main" \
        > "$apt_dir/etc/sources.list"
    local opts=(-o "Dir::State=$apt_dir/state" -o "Dir::Cache=$apt_dir/cache"
                -o "Dir::Etc::SourceList=$apt_dir/etc/sources.list"
                -o "Dir::Etc::SourceParts=/dev/null" -o "APT::Sandbox::User=root")
    apt-get "${opts[@]}" -qq update >/dev/null 2>&1 || return 1
    # The .dsc and the Debian diff may be missing on the mirror; the upstream
    # tarball is all that is needed, so apt-get's overall status is not used.
    (cd "$apt_dir/download" &&
        apt-get "${opts[@]}" -qq source --download-only ffmpeg >/dev/null 2>&1 || true)
    TARBALL=$(ls "$apt_dir"/download/ffmpeg_9.*.orig.tar.xz 2>/dev/null | sort -V | tail -n 1)
    [ -n "$TARBALL" ] && [ -s "$TARBALL" ]
}

# Just what the test suite's files need: their demuxers, parsers, filters and
# video decoders. Audio is demuxed but never decoded.
CONFIGURE_ARGS=(--enable-shared --disable-static
    --disable-programs --disable-doc --disable-avdevice --disable-avfilter
    --disable-swscale --disable-swresample --disable-network
    --disable-everything --disable-autodetect
    --enable-protocol=file
    --enable-demuxer=mov,matroska,mpegts,avi,h264,m4v,mpegvideo,mpegps,flv,aac,wav,mp3,image2
    --enable-parser=h264,mpeg4video,mpegvideo,aac,mpegaudio
    --enable-decoder=h264,mpeg4,mpeg2video,mpeg1video
    --enable-bsf=h264_mp4toannexb,extract_extradata,mpeg4_unpack_bframes)
BUILD_STAMP=$(printf '%s\n' "${CONFIGURE_ARGS[@]}" | sha256sum | cut -c1-16)

build_ffmpeg() {
    [ "$(cat "$PREFIX/.complete" 2>/dev/null)" = "$BUILD_STAMP" ] && return 0
    if ! fetch_source; then
        echo "SKIP: no FFmpeg 9 source package could be fetched from Debian sid; the FFmpeg 9 leg is not run"
        exit 0
    fi
    local build=$CACHE_DIR/build-ffmpeg-9
    rm -rf "$build" "$PREFIX"
    mkdir -p "$build"
    tar -xf "$TARBALL" -C "$build" --strip-components=1
    echo "building $(basename "$TARBALL") into $PREFIX"
    (
        cd "$build"
        ./configure --prefix="$PREFIX" "${CONFIGURE_ARGS[@]}" >build.log 2>&1 ||
            { tail -n 30 build.log; exit 1; }
        make -j"$(nproc)" >>build.log 2>&1 || { tail -n 30 build.log; exit 1; }
        make install >>build.log 2>&1
    )
    rm -rf "$build"
    echo "$BUILD_STAMP" > "$PREFIX/.complete"
}

build_ffmpeg
[ "${1:-}" = "--build" ] && { echo "$PREFIX"; exit 0; }

"$ROOT/scripts/setup.sh"
VENV=$ROOT/.venv-ffmpeg9
if [ ! -x "$VENV/bin/python" ]; then
    base_python=$("$ROOT/.venv/bin/python" -c 'import sys; print(sys._base_executable)')
    "$base_python" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q -r "$ROOT/requirements-dev.txt"
PKG_CONFIG_PATH=$PREFIX/lib/pkgconfig "$VENV/bin/python" -m pip install -q --no-build-isolation \
    --config-settings=build-dir="$ROOT/build/ffmpeg9" "$ROOT"
"$VENV/bin/python" - <<'PY'
import ctypes.util, subprocess, mbgauge
libs = subprocess.run(["ldd", mbgauge.__file__], capture_output=True, text=True).stdout
print("mbgauge linked against:", [l.split()[2] for l in libs.splitlines() if "libavcodec" in l])
PY
cd "$ROOT"
exec "$VENV/bin/python" -m pytest "$@"

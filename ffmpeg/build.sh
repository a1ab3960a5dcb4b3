#!/usr/bin/env bash
# Builds mbgauge's FFmpeg: the 9.0.2 release from Debian's source package,
# with the patches of ffmpeg/patches applied in order, into a prefix cached
# outside the checkout. The prefix is named after a hash of the version, the
# configure arguments and the patches, so a changed build never reuses (or
# overwrites) another one, and an unchanged one is found in a moment.
#
#   ffmpeg/build.sh              build if needed; the last line of stdout is the prefix
#   ffmpeg/build.sh --key        only print the prefix it would use
#   ffmpeg/build.sh --unpatched  the same build without the patches (the
#                                benchmarks compare the two; add --key as well)
#   ffmpeg/build.sh --sanitize   the patched build instrumented with
#                                AddressSanitizer and UndefinedBehaviorSanitizer
#                                (clang, FFmpeg's clang-asan-ubsan toolchain),
#                                into a prefix of its own (add --key as well);
#                                its libraries need clang's ASan runtime in the
#                                process (see tests/fuzz/README.md)
#
# Exit status 3 with a message on stderr when the source cannot be had;
# any other failure (a patch that does not apply, a failed compile) is 1.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
CACHE_DIR=${MBGAUGE_CACHE:-$HOME/.cache/mbgauge}
VERSION=9.0.2
TARBALL_NAME=ffmpeg_$VERSION.orig.tar.xz
PATCHES=("$HERE"/patches/*.patch)
SANITIZE=0
if [ "${1:-}" = --unpatched ]; then
    PATCHES=()
    shift
elif [ "${1:-}" = --sanitize ]; then
    SANITIZE=1
    shift
fi

# What mbgauge's users open: the common containers and raw streams, the video
# decoders mbgauge reads QPs or pictures from (AV1 through dav1d), and the
# parsers and bitstream filters these need. Audio is demuxed, never decoded.
CONFIGURE_ARGS=(--enable-shared --disable-static --enable-rpath
    --disable-programs --disable-doc --disable-avdevice --disable-avfilter
    --disable-swscale --disable-swresample --disable-network
    --disable-everything --disable-autodetect --enable-pthreads --enable-zlib
    --enable-libdav1d
    --enable-protocol=file
    --enable-demuxer=mov,matroska,mpegts,mpegps,avi,flv,h264,hevc,m4v,mpegvideo,ivf,aac,wav,mp3,image2
    --enable-parser=h264,hevc,mpeg4video,mpegvideo,vp8,vp9,av1,aac,mpegaudio
    --enable-decoder=h264,hevc,mpeg4,mpeg2video,mpeg1video,vp8,vp9,libdav1d
    --enable-bsf=h264_mp4toannexb,hevc_mp4toannexb,extract_extradata,mpeg4_unpack_bframes,vp9_superframe_split,av1_frame_split)
# The code the patches add runs inside FFmpeg, where mbgauge's own sanitizer
# builds do not look. clang, so that a libFuzzer target (which links clang's
# ASan runtime statically) can load these libraries too.
if [ $SANITIZE = 1 ]; then
    CONFIGURE_ARGS+=(--toolchain=clang-asan-ubsan --disable-stripping)
fi

KEY=$( (echo "$VERSION"; printf '%s\n' "${CONFIGURE_ARGS[@]}"; cat "${PATCHES[@]}" /dev/null) |
    sha256sum | cut -c1-16)
PREFIX=$CACHE_DIR/ffmpeg-$VERSION-$KEY
[ $SANITIZE = 1 ] && PREFIX=$CACHE_DIR/ffmpeg-$VERSION-asan-$KEY

if [ "${1:-}" = --key ]; then echo "$PREFIX"; exit 0; fi
[ -f "$PREFIX/.complete" ] && { echo "$PREFIX"; exit 0; }

mkdir -p "$CACHE_DIR"
# Several checkouts may ask for the same build at once: one builds, the
# others wait and then find it complete.
exec 9>"$PREFIX.lock"
flock 9
[ -f "$PREFIX/.complete" ] && { echo "$PREFIX"; exit 0; }

fetch_source() {
    # A private apt configuration, so that the system's sources stay untouched.
    local apt_dir=$CACHE_DIR/apt-sid
    TARBALL=$apt_dir/download/$TARBALL_NAME
    [ -s "$TARBALL" ] && return 0
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
        apt-get "${opts[@]}" -qq source --download-only "ffmpeg=7:$VERSION-1" >/dev/null 2>&1 ||
        apt-get "${opts[@]}" -qq source --download-only ffmpeg >/dev/null 2>&1 || true)
    [ -s "$TARBALL" ]
}

if ! fetch_source; then
    echo "ffmpeg/build.sh: the FFmpeg $VERSION source package ($TARBALL_NAME) could not be" \
         "fetched from Debian" >&2
    exit 3
fi

BUILD=$(mktemp -d "$CACHE_DIR/build-ffmpeg-$VERSION-$KEY.XXXXXX")
trap 'rm -rf "$BUILD"' EXIT
echo "ffmpeg/build.sh: building FFmpeg $VERSION with ${#PATCHES[@]} patch(es) into $PREFIX" >&2
tar -xf "$TARBALL" -C "$BUILD" --strip-components=1
for patch in "${PATCHES[@]}"; do
    if ! patch -d "$BUILD" -p1 --batch --forward --quiet < "$patch" >&2; then
        echo "ffmpeg/build.sh: $(basename "$patch") does not apply to FFmpeg $VERSION" >&2
        exit 1
    fi
done
(
    cd "$BUILD"
    ./configure --prefix="$PREFIX" "${CONFIGURE_ARGS[@]}" >build.log 2>&1 &&
        make -j"${MBGAUGE_FFMPEG_JOBS:-$(nproc)}" >>build.log 2>&1 &&
        make install DESTDIR="$BUILD/staging" >>build.log 2>&1
) || { tail -n 30 "$BUILD/build.log" >&2; echo "ffmpeg/build.sh: the build failed" >&2; exit 1; }
# Moved into place in one step, so an interrupted build leaves no prefix.
rm -rf "$PREFIX"
mv "$BUILD/staging$PREFIX" "$PREFIX"
echo "$KEY" > "$PREFIX/.complete"
echo "$PREFIX"

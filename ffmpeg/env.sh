# Sourced by the scripts that compile against FFmpeg: points pkg-config at the
# FFmpeg that mbgauge builds against and sets FFMPEG_FLAVOUR.
#
#   MBGAUGE_FFMPEG=patched (the default)  ffmpeg/build.sh's prefix, built if needed
#   MBGAUGE_FFMPEG=system                 the system's FFmpeg (its HEVC decoder
#                                         exports no QPs)
#   MBGAUGE_FFMPEG=sanitize               ffmpeg/build.sh --sanitize's prefix: the
#                                         patched FFmpeg with ASan and UBSan (its
#                                         users need clang's ASan runtime)
#
# When FFmpeg's source cannot be fetched, the system FFmpeg is used, with a
# message saying so.

FFMPEG_FLAVOUR=${MBGAUGE_FFMPEG:-patched}
case $FFMPEG_FLAVOUR in
    patched)
        _ffmpeg_status=0
        _ffmpeg_prefix=$("$(dirname "${BASH_SOURCE[0]}")/build.sh" | tail -n 1) || _ffmpeg_status=$?
        if [ $_ffmpeg_status = 0 ]; then
            export PKG_CONFIG_PATH=$_ffmpeg_prefix/lib/pkgconfig
            FFMPEG_FLAVOUR=$(basename "$_ffmpeg_prefix")
        elif [ $_ffmpeg_status = 3 ]; then
            echo "*** mbgauge: FFmpeg's source could not be fetched; using the system FFmpeg" \
                 "$(pkg-config --modversion libavcodec) instead, whose HEVC decoder exports" \
                 "no QPs ***" >&2
            FFMPEG_FLAVOUR=system
        else
            echo "mbgauge: building FFmpeg failed (ffmpeg/build.sh)" >&2
            exit $_ffmpeg_status
        fi
        unset _ffmpeg_status _ffmpeg_prefix
        ;;
    system) ;;
    sanitize)
        _ffmpeg_prefix=$("$(dirname "${BASH_SOURCE[0]}")/build.sh" --sanitize | tail -n 1) || {
            echo "mbgauge: building the sanitizer FFmpeg failed (ffmpeg/build.sh --sanitize)" >&2
            exit 1
        }
        export PKG_CONFIG_PATH=$_ffmpeg_prefix/lib/pkgconfig
        FFMPEG_FLAVOUR=$(basename "$_ffmpeg_prefix")
        unset _ffmpeg_prefix
        ;;
    *) echo "mbgauge: MBGAUGE_FFMPEG must be 'patched' (the default), 'system' or 'sanitize'" >&2
       exit 2 ;;
esac

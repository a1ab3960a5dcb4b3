#pragma once

// FFmpeg's log level is one for the whole process. Probing a file logs every
// oddity of it, so the level is lowered to AV_LOG_FATAL while a session
// probes. Sessions opened on several threads at once share one lowering: the
// first saves the level and the last one out restores it (each saving and
// restoring on its own would leave the level at AV_LOG_FATAL for good when
// two probes overlap).
class QuietProbing {
public:
    QuietProbing();
    ~QuietProbing();
    QuietProbing(const QuietProbing&) = delete;
    QuietProbing& operator=(const QuietProbing&) = delete;
};

// Raises FFmpeg's log level to `level` when it is lower; while sessions
// probe, raises the level that the last of them restores instead.
void raise_ffmpeg_log_level(int level);

#pragma once

// FFmpeg's messages go to Python's `logging`, logger "mbgauge.ffmpeg".
//
// FFmpeg logs from its own threads (slice threads, probing decoders), which
// must never wait for the interpreter lock. Its log callback therefore only
// formats the line and queues it (bounded, thread-safe); the binding hands
// the queued lines to the logger with the interpreter lock held whenever a
// constructor or frame query returns. Messages less severe than the logger's
// effective level, read when a session is opened, are dropped in the
// callback itself, so debug output costs nothing unless it is asked for.

// Installs the callback; once, at module import.
void install_ffmpeg_log_callback();

// Reads the logger's effective level (interpreter lock held) and raises
// FFmpeg's level to it when it asks for more (DEBUG, say).
void refresh_ffmpeg_log_level();

// Hands the queued lines to the logger (interpreter lock held). Errors that
// a logging handler raises are reported as unraisable, never propagated.
void flush_ffmpeg_log() noexcept;

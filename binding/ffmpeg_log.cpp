#include "binding/ffmpeg_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>

#include "binding/interpreter_lock.h"
#include "session/quiet_probing.h"

extern "C" {
#include <libavutil/log.h>
}

namespace py = pybind11;

namespace {

constexpr size_t kMaxQueuedLines = 1000;
constexpr const char* kLoggerName = "mbgauge.ffmpeg";

struct LogLine {
    int level;
    std::string text;
};

struct LogQueue {
    std::mutex mutex;
    std::deque<LogLine> lines;
    size_t dropped = 0;
};

// Never destroyed: FFmpeg threads may still log while the process exits.
LogQueue& queue() {
    static LogQueue* const instance = new LogQueue;
    return *instance;
}

std::atomic<int> max_level{AV_LOG_WARNING};

int python_level(int ffmpeg_level) {
    if (ffmpeg_level <= AV_LOG_FATAL) return 50;    // CRITICAL
    if (ffmpeg_level <= AV_LOG_ERROR) return 40;    // ERROR
    if (ffmpeg_level <= AV_LOG_WARNING) return 30;  // WARNING
    if (ffmpeg_level <= AV_LOG_INFO) return 20;     // INFO
    return 10;                                      // DEBUG
}

int ffmpeg_level_for(int python_level) {
    if (python_level <= 10) return AV_LOG_DEBUG;
    if (python_level <= 20) return AV_LOG_INFO;
    if (python_level <= 30) return AV_LOG_WARNING;
    if (python_level <= 40) return AV_LOG_ERROR;
    return AV_LOG_FATAL;
}

void queue_line(int level, std::string text) {
    LogQueue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    if (q.lines.size() >= kMaxQueuedLines) {
        ++q.dropped;
        return;
    }
    q.lines.push_back(LogLine{level, std::move(text)});
}

void log_callback(void* context, int level, const char* format, va_list args) {
    if (level >= 0) level &= 0xff;
    // The process-wide level still rules (it is lowered while probing).
    if (level > av_log_get_level() || level > max_level.load(std::memory_order_relaxed)) return;
    // A line may come in several calls; it is queued once it is complete.
    thread_local std::string pending;
    thread_local int print_prefix = 1;
    char part[1024];
    av_log_format_line2(context, level, format, args, part, sizeof(part), &print_prefix);
    pending += part;
    if (pending.empty() || pending.back() != '\n') return;
    pending.pop_back();
    if (!pending.empty()) queue_line(level, std::move(pending));
    pending.clear();
}

// Logging runs handlers, which are Python code: see call_python.
py::object mbgauge_ffmpeg_logger() {
    return call_python(import_module("logging").attr("getLogger"),
                       py::make_tuple(kLoggerName));
}

}  // namespace

void install_ffmpeg_log_callback() { av_log_set_callback(log_callback); }

void refresh_ffmpeg_log_level() {
    try {
        const py::object logger = mbgauge_ffmpeg_logger();
        const int level = call_python(logger.attr("getEffectiveLevel"), py::tuple()).cast<int>();
        const int wanted = ffmpeg_level_for(level);
        max_level.store(wanted, std::memory_order_relaxed);
        // FFmpeg's own level (INFO by default) gates what reaches the callback;
        // a logger set to INFO or DEBUG raises it, nothing ever lowers it.
        if (wanted >= AV_LOG_INFO) raise_ffmpeg_log_level(wanted);
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable(kLoggerName);
    }
}

void flush_ffmpeg_log() noexcept {
    std::deque<LogLine> lines;
    size_t dropped = 0;
    {
        LogQueue& q = queue();
        std::lock_guard<std::mutex> lock(q.mutex);
        if (q.lines.empty() && q.dropped == 0) return;
        lines.swap(q.lines);
        std::swap(dropped, q.dropped);
    }
    try {
        const py::object log = mbgauge_ffmpeg_logger().attr("log");
        for (const LogLine& line : lines)
            call_python(log, py::make_tuple(python_level(line.level), "%s", line.text));
        if (dropped > 0)
            call_python(log, py::make_tuple(30, "%d further FFmpeg messages dropped", dropped));
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable(kLoggerName);
    } catch (...) {
    }
}

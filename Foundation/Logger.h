#pragma once
// Structured logging with a subsystem, a category and five levels.
//
// Sinks: the systemd journal when its socket exists (info and above), standard
// error otherwise (default and above, or what OVERLOOK_LOG_LEVEL asks for), and
// while a LogCapture is alive, an in-memory record of every message at every level
// (the other sinks are then quiet, so test output stays readable).

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

namespace overlook {

enum class LogLevel { Debug = 0, Info = 1, Default = 2, Error = 3, Fault = 4 };

const char* logLevelName(LogLevel level);

struct LogRecord {
    LogLevel level;
    std::string subsystem;
    std::string category; // "plain" for plainLog lines
    std::string message;
};

class Logger {
public:
    Logger(std::string subsystem, std::string category);

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    void log(LogLevel level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
    void debug(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void info(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void notice(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void fault(const char* format, ...) const __attribute__((format(printf, 2, 3)));

private:
    void write(LogLevel level, const char* format, va_list args) const;

    std::string subsystem_;
    std::string category_;
};

// One timestamped line on standard error (the plain log call of the other platform).
void plainLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Records every message while alive. Captures nest; the innermost one records.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const;
    std::vector<std::string> messages() const;
    std::vector<std::string> messages(LogLevel level) const;
    bool contains(const std::string& message) const;
    bool contains(LogLevel level, const std::string& message) const;
    void clear();

    void append(LogRecord record);

private:
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
    LogCapture* previous_ = nullptr;
};

namespace logs {
// Log subsystems of the application and of the display engine.
inline constexpr const char* kApplication = "io.overlook.Overlook";
inline constexpr const char* kEngine = "io.overlook.Tessera";
} // namespace logs

} // namespace overlook

#include "Logger.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#ifdef OVERLOOK_HAVE_SYSTEMD
#include <systemd/sd-journal.h>
#endif

namespace overlook {

namespace {

std::mutex gCaptureMutex;
LogCapture* gCapture = nullptr;

std::string formatMessage(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    const int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return format;
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, n);
    std::string out(static_cast<size_t>(n), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, args);
    return out;
}

LogLevel parseLevel(const char* text, LogLevel fallback) {
    if (!text)
        return fallback;
    static const char* names[] = {"debug", "info", "default", "error", "fault"};
    for (int i = 0; i < 5; ++i)
        if (strcasecmp(text, names[i]) == 0)
            return static_cast<LogLevel>(i);
    return fallback;
}

LogLevel stderrThreshold() {
    static const LogLevel level = parseLevel(std::getenv("OVERLOOK_LOG_LEVEL"), LogLevel::Default);
    return level;
}

bool journalAvailable() {
#ifdef OVERLOOK_HAVE_SYSTEMD
    static const bool available = [] {
        if (std::getenv("OVERLOOK_LOG_STDERR"))
            return false;
        struct stat st {};
        return stat("/run/systemd/journal/socket", &st) == 0;
    }();
    return available;
#else
    return false;
#endif
}

std::string timestamp() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    char buf[64];
    const size_t n = strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buf + n, sizeof buf - n, ".%03ld", static_cast<long>(tv.tv_usec / 1000));
    return buf;
}

// True when a capture took the record.
bool captureRecord(const LogRecord& record) {
    std::lock_guard lock(gCaptureMutex);
    if (!gCapture)
        return false;
    gCapture->append(record);
    return true;
}

void emit(const LogRecord& record) {
    if (captureRecord(record))
        return;
    if (journalAvailable()) {
#ifdef OVERLOOK_HAVE_SYSTEMD
        static const int priorities[] = {7, 6, 5, 3, 2};
        if (record.level >= LogLevel::Info)
            sd_journal_send("MESSAGE=%s", record.message.c_str(), "PRIORITY=%d",
                            priorities[static_cast<int>(record.level)], "SYSLOG_IDENTIFIER=overlook",
                            "OVERLOOK_SUBSYSTEM=%s", record.subsystem.c_str(),
                            "OVERLOOK_CATEGORY=%s", record.category.c_str(), nullptr);
#endif
        if (record.level < stderrThreshold() || stderrThreshold() == LogLevel::Default)
            return; // the journal has it; stderr only when asked for more
    }
    if (record.level < stderrThreshold())
        return;
    std::fprintf(stderr, "%s overlook[%d] [%s:%s] <%s> %s\n", timestamp().c_str(), getpid(),
                 record.subsystem.c_str(), record.category.c_str(), logLevelName(record.level),
                 record.message.c_str());
}

} // namespace

const char* logLevelName(LogLevel level) {
    switch (level) {
    case LogLevel::Debug: return "debug";
    case LogLevel::Info: return "info";
    case LogLevel::Default: return "default";
    case LogLevel::Error: return "error";
    case LogLevel::Fault: return "fault";
    }
    return "?";
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::write(LogLevel level, const char* format, va_list args) const {
    emit(LogRecord{level, subsystem_, category_, formatMessage(format, args)});
}

#define OVERLOOK_LOG_FORWARD(level)                                                                \
    va_list args;                                                                                  \
    va_start(args, format);                                                                        \
    write(level, format, args);                                                                    \
    va_end(args)

void Logger::log(LogLevel level, const char* format, ...) const { OVERLOOK_LOG_FORWARD(level); }
void Logger::debug(const char* format, ...) const { OVERLOOK_LOG_FORWARD(LogLevel::Debug); }
void Logger::info(const char* format, ...) const { OVERLOOK_LOG_FORWARD(LogLevel::Info); }
void Logger::notice(const char* format, ...) const { OVERLOOK_LOG_FORWARD(LogLevel::Default); }
void Logger::error(const char* format, ...) const { OVERLOOK_LOG_FORWARD(LogLevel::Error); }
void Logger::fault(const char* format, ...) const { OVERLOOK_LOG_FORWARD(LogLevel::Fault); }

#undef OVERLOOK_LOG_FORWARD

void plainLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogRecord record{LogLevel::Default, "", "plain", formatMessage(format, args)};
    va_end(args);
    if (captureRecord(record))
        return;
    std::fprintf(stderr, "%s overlook[%d] %s\n", timestamp().c_str(), getpid(),
                 record.message.c_str());
}

LogCapture::LogCapture() {
    std::lock_guard lock(gCaptureMutex);
    previous_ = gCapture;
    gCapture = this;
}

LogCapture::~LogCapture() {
    std::lock_guard lock(gCaptureMutex);
    gCapture = previous_;
}

void LogCapture::append(LogRecord record) {
    std::lock_guard lock(mutex_);
    records_.push_back(std::move(record));
}

std::vector<LogRecord> LogCapture::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<std::string> LogCapture::messages() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& r : records_)
        out.push_back(r.message);
    return out;
}

std::vector<std::string> LogCapture::messages(LogLevel level) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& r : records_)
        if (r.level == level)
            out.push_back(r.message);
    return out;
}

bool LogCapture::contains(const std::string& message) const {
    std::lock_guard lock(mutex_);
    for (const auto& r : records_)
        if (r.message == message)
            return true;
    return false;
}

bool LogCapture::contains(LogLevel level, const std::string& message) const {
    std::lock_guard lock(mutex_);
    for (const auto& r : records_)
        if (r.level == level && r.message == message)
            return true;
    return false;
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

} // namespace overlook

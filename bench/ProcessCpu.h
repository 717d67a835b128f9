#pragma once
// This process's CPU time so far (user and system), in milliseconds.

#include <sys/resource.h>

namespace overlook::bench {

inline double processCpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

} // namespace overlook::bench

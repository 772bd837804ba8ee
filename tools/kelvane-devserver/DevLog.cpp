#include "DevLog.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

void DevLog(const std::string_view text)
{
    static std::mutex mutex;
    const std::time_t now = std::time(nullptr);
    std::tm fields {};
    gmtime_r(&now, &fields);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &fields);
    const std::string line = std::string(stamp) + " " + std::string(text) + "\n";
    const std::lock_guard<std::mutex> lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

#include "progress.h"

#include <chrono>
#include <cstdio>

#include "system/system.h"

namespace {

using Clock = std::chrono::steady_clock;
bool shown = false;
uint64_t total = 0, written = 0;
Clock::time_point start, drawn;

// " 37%  1.5 of 4.0 GB": the share written and the amounts, in the unit that suits the total.
std::string Line() {
    const double whole = static_cast<double>(total);
    const double unit = whole >= 1e9 ? 1e9 : whole >= 1e6 ? 1e6 : 1e3;
    const char* name = unit == 1e9 ? "GB" : unit == 1e6 ? "MB" : "kB";
    char line[64];
    std::snprintf(line, sizeof line, "%3d%%  %.1f of %.1f %s",
                  static_cast<int>(written * 100 / (total == 0 ? 1 : total)),
                  static_cast<double>(written) / unit, whole / unit, name);
    return line;
}

}  // namespace

void PROGRESS_START(uint64_t bytes) {
    shown = ErrorIsTerminal();
    total = bytes;
    written = 0;
    start = drawn = Clock::now();
}

void PROGRESS(uint64_t bytes) {
    written += bytes;
    if (!shown) return;
    const Clock::time_point now = Clock::now();
    if (now - start < std::chrono::seconds(1) || now - drawn < std::chrono::milliseconds(100)) {
        return;
    }
    drawn = now;
    ShowProgress(Line());
}

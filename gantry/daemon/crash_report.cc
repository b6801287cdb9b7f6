#include "gantry/daemon/crash_report.h"

#include <execinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <ctime>

#include "gantry/log/message.h"
#include "gantry/time/civil.h"

namespace Gantry::Daemon {

namespace {

std::atomic<int> report_fd{-1};
std::atomic<bool> report_master{false};
std::atomic<long> utc_offset{0};
// Written before the handlers are installed, only read after.
char stamp_format[128];

constexpr int max_frames = 100;

// A line under construction on the stack.
class Line {
  public:
    Line& operator<<(const char* text) {
        while (*text && length_ < sizeof data_ - 1)
            data_[length_++] = *text++;
        return *this;
    }
    Line& number(int64_t value, int width = 1, char pad = '0') {
        char digits[24];
        int count = 0;
        bool negative = value < 0;
        uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : value;
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude);
        if (negative) *this << "-";
        for (int i = count; i < width; i++)
            *this << (pad == '0' ? "0" : " ");
        while (count && length_ < sizeof data_ - 1)
            data_[length_++] = digits[--count];
        return *this;
    }
    void put(char c) {
        if (length_ < sizeof data_ - 1) data_[length_++] = c;
    }
    void stamp(int level) {
        struct timespec now;
        ::clock_gettime(CLOCK_REALTIME, &now);
        length_ =
            format_stamp(data_, sizeof data_, stamp_format, level, now.tv_sec + utc_offset.load(),
                         static_cast<int>(now.tv_nsec / 1000000));
    }
    void write(int fd) const { (void)!::write(fd, data_, length_); }

    char* data() { return data_; }
    size_t length() const { return length_; }

  private:
    char data_[512];
    size_t length_ = 0;
};

void report_line(int fd, const char* a, const char* b = "", const char* c = "") {
    Line line;
    line.stamp(Log::error_level);
    line << a << b << c << "\n";
    line.write(fd);
}

const char* signal_name(int signal) {
    switch (signal) {
        case SIGSEGV:
            return "segment violation";
        case SIGILL:
            return "illegal instruction";
        case SIGFPE:
            return "floating point exception";
        case SIGABRT:
            return "aborted";
        default:
            return "unknown";
    }
}

}  // namespace

void configure_crash_report(int fd, bool enabled, const std::string& format) {
    format.copy(stamp_format, sizeof stamp_format - 1);
    stamp_format[std::min(format.size(), sizeof stamp_format - 1)] = '\0';
    refresh_crash_report_clock();
    // The first backtrace() loads the unwinder, which allocates: do it now, not in the handler.
    void* frame;
    ::backtrace(&frame, 1);
    report_fd.store(enabled ? fd : -1);
}

void set_crash_report_master(bool master) {
    report_master.store(master);
}

void refresh_crash_report_clock() {
    time_t now = ::time(nullptr);
    struct tm local;
    if (::localtime_r(&now, &local)) utc_offset.store(local.tm_gmtoff);
}

void write_crash_report(int signal) {
    int fd = report_fd.load();
    if (fd < 0) return;
    Line head;
    head.stamp(Log::error_level);
    head << "*** Signal received in " << (report_master.load() ? "master" : "slave") << ": "
         << signal_name(signal) << " (";
    head.number(signal) << ") ***\n";
    head.write(fd);
    report_line(fd, "--- backtrace:");
    void* frames[max_frames];
    int count = ::backtrace(frames, max_frames);
    for (int i = 0; i < count; i++) {
        Line frame;
        frame.stamp(Log::error_level);
        frame << "- ";
        frame.write(fd);
        ::backtrace_symbols_fd(&frames[i], 1, fd);  // writes the symbol and a newline
    }
    report_line(fd, "---");
}

size_t format_stamp(char* out, size_t size, const char* format, int level, int64_t local_seconds,
                    int millis) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int64_t days_since = local_seconds / 86400 - (local_seconds % 86400 < 0 ? 1 : 0);
    const std::tm tm =
        Time::make_tm(days_since, static_cast<int>(local_seconds - days_since * 86400));
    Line line;
    for (const char* p = format; *p; p++) {
        if (*p != '%' || !p[1]) {
            line.put(*p);
            continue;
        }
        char c = *++p;
        if (c == '*' && (p[1] == 'L' || p[1] == 'S')) {
            if (*++p == 'L') {
                line.number(level);
            } else {
                line.number(tm.tm_sec, 2).put('.');
                line.number(millis, 3);
            }
            continue;
        }
        switch (c) {
            case '%':
                line.put('%');
                break;
            case 'a':
                line << days[tm.tm_wday];
                break;
            case 'b':
                line << months[tm.tm_mon];
                break;
            case 'd':
                line.number(tm.tm_mday, 2);
                break;
            case 'e':
                line.number(tm.tm_mday, 2, ' ');
                break;
            case 'H':
                line.number(tm.tm_hour, 2);
                break;
            case 'M':
                line.number(tm.tm_min, 2);
                break;
            case 'S':
                line.number(tm.tm_sec, 2);
                break;
            case 'Y':
                line.number(tm.tm_year + 1900);
                break;
            case 'y':
                line.number((tm.tm_year + 1900) % 100, 2);
                break;
            case 'm':
                line.number(tm.tm_mon + 1, 2);
                break;
            case 'j':
                line.number(tm.tm_yday + 1, 3);
                break;
            default:
                line.put('%');
                line.put(c);
        }
    }
    size_t length = std::min(line.length(), size - 1);
    for (size_t i = 0; i < length; i++)
        out[i] = line.data()[i];
    out[length] = '\0';
    return length;
}

}  // namespace Gantry::Daemon

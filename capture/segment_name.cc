#include "capture/segment_name.h"

#include <cstdio>

#include "gantry/log/stream.h"

namespace Corvid::Capture {

namespace Time = Gantry::Time;

namespace {

std::string_view leaf(std::string_view path) {
    auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string SegmentNaming::file_name(Time::Stamp start) const {
    Time::BrokenDownTime utc = start.utc();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d_%02d_%02d.%02d_%02d_%02d", utc.year, utc.month,
                  utc.day, utc.hour, utc.minute, static_cast<int>(utc.seconds));
    return prefix + id + "." + stamp + suffix;
}

Time::Stamp SegmentNaming::time_of(std::string_view name) const {
    std::string_view rest = leaf(name);
    size_t skip = prefix_leaf().size() + id.size() + 1;
    rest = skip <= rest.size() ? rest.substr(skip) : std::string_view();
    auto dot = rest.find('.');
    if (dot == std::string_view::npos) {
        Gantry::Log::Error() << "Bad format filename: " << name << std::endl;
        return {};
    }
    std::string date(rest.substr(0, dot));
    std::string time(rest.substr(dot + 1, rest.find('.', dot + 1) - dot - 1));
    for (char& c : date)
        if (c == '_') c = '-';
    for (char& c : time)
        if (c == '_') c = ':';
    return Time::Stamp::parse(date + "T" + time + "Z");
}

bool SegmentNaming::matches(std::string_view entry) const {
    std::string_view head = prefix_leaf();
    return entry.size() >= head.size() + id.size() + 1 + suffix.size() && entry.starts_with(head) &&
           entry.substr(head.size()).starts_with(id) && entry[head.size() + id.size()] == '.' &&
           entry.ends_with(suffix);
}

std::string SegmentNaming::directory() const {
    auto slash = prefix.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : prefix.substr(0, slash);
}

std::string_view SegmentNaming::prefix_leaf() const {
    return leaf(prefix);
}

std::string SegmentNaming::path_of(std::string_view entry) const {
    return prefix.substr(0, prefix.size() - prefix_leaf().size()) + std::string(entry);
}

}  // namespace Corvid::Capture

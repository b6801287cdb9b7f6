// How a capture names its segment files and their indexes, and how a segment's start time is read
// back from its name: prefix + id + "." + YYYY_MM_DD + "." + HH_MM_SS + suffix, in UTC, with the
// index file at the segment's path + index suffix. The prefix may hold directories and is used as
// it is.
//
// Plain functions of their arguments; safe on any thread.
#pragma once

#include <string>
#include <string_view>

#include "gantry/time/stamp.h"

namespace Corvid::Capture {

struct SegmentNaming {
    std::string prefix;  // may end in a directory: "/data/news/"
    std::string id;      // capture id
    std::string suffix = ".ts";
    std::string index_suffix;  // empty: segments have no index

    // The segment begun at start (fractions of a second are dropped).
    std::string file_name(Gantry::Time::Stamp start) const;
    // The index beside a segment file.
    std::string index_name(std::string_view segment_path) const {
        return std::string(segment_path) + index_suffix;
    }
    // The start time of a segment named by file_name, from the last path component of name. Only
    // the length of the prefix's last component and of the id are used, not their text: the
    // caller picks the names (see matches). A name without a date and a time after the id is
    // logged ("Bad format filename: <name>") and gives the invalid stamp; so does a date or time
    // that is not one.
    Gantry::Time::Stamp time_of(std::string_view name) const;
    // True when a directory entry (a last path component) has this capture's segment form:
    // prefix component + id + "." + anything + suffix.
    bool matches(std::string_view entry) const;

    // The directory part of the prefix ("." when it has none) and its last component.
    std::string directory() const;
    std::string_view prefix_leaf() const;
    // The path of a directory entry as file_name would have written it: the prefix's directory
    // part as given, then the entry.
    std::string path_of(std::string_view entry) const;
};

}  // namespace Corvid::Capture

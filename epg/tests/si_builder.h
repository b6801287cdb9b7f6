// Builds DVB SI sections and the transport stream packets that carry them, for decoder tests.
// The layouts are those of EN 300 468, written out independently of the readers under test.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "mpeg/section.h"

namespace Corvid::Capture::Sections {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

inline Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes descriptor(uint8_t tag, const Bytes& body) {
    Bytes out{tag, static_cast<uint8_t>(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// Short event descriptor (0x4D): language, name, text (each already in DVB text coding).
inline Bytes short_event(const Bytes& name, const Bytes& text, const std::string& lang = "eng") {
    Bytes body(lang.begin(), lang.end());
    body.push_back(static_cast<uint8_t>(name.size()));
    body.insert(body.end(), name.begin(), name.end());
    body.push_back(static_cast<uint8_t>(text.size()));
    body.insert(body.end(), text.begin(), text.end());
    return descriptor(0x4D, body);
}

// Service descriptor (0x48): digital television, provider, name.
inline Bytes service_descriptor(const Bytes& provider, const Bytes& name) {
    Bytes body{0x01, static_cast<uint8_t>(provider.size())};
    body.insert(body.end(), provider.begin(), provider.end());
    body.push_back(static_cast<uint8_t>(name.size()));
    body.insert(body.end(), name.begin(), name.end());
    return descriptor(0x48, body);
}

struct EventSpec {
    uint16_t event_id;
    Bytes start;     // 5 bytes: MJD, BCD h m s
    Bytes duration;  // 3 BCD bytes
    Bytes descriptors;
};

// An EIT section around a body given byte by byte, pointer field first.
inline Bytes eit_raw_section(uint8_t table_id, uint16_t service_id, const Bytes& body) {
    MPEG::SectionHeader header;
    header.table_id = table_id;
    header.table_id_extension = service_id;
    header.current_next = true;
    Bytes section;
    MPEG::finish_section(header, body.data(), body.size(), section,
                         4093 + 3 - MPEG::section_overhead);
    return section;
}

// A whole section, pointer field first, as finish_section builds it.
inline Bytes eit_section(uint8_t table_id, uint16_t service_id,
                         const std::vector<EventSpec>& events, bool current = true,
                         uint8_t version = 1) {
    Bytes body{0x00, 0x04, 0x20, 0xFA, 0x00, table_id};  // tsid, onid, last section, last table
    for (const auto& e : events) {
        body.push_back(static_cast<uint8_t>(e.event_id >> 8));
        body.push_back(static_cast<uint8_t>(e.event_id));
        body.insert(body.end(), e.start.begin(), e.start.end());
        body.insert(body.end(), e.duration.begin(), e.duration.end());
        size_t loop = e.descriptors.size();
        body.push_back(static_cast<uint8_t>(0x80 | (loop >> 8 & 0x0F)));  // running status 4
        body.push_back(static_cast<uint8_t>(loop));
        body.insert(body.end(), e.descriptors.begin(), e.descriptors.end());
    }
    MPEG::SectionHeader header;
    header.table_id = table_id;
    header.table_id_extension = service_id;
    header.version = version;
    header.current_next = current;
    Bytes section;
    MPEG::finish_section(header, body.data(), body.size(), section,
                         4093 + 3 - MPEG::section_overhead);
    return section;
}

inline Bytes sdt_section(uint8_t table_id, const std::vector<std::pair<uint16_t, Bytes>>& services,
                         bool current = true) {
    Bytes body{0x20, 0xFA, 0xFF};  // onid, reserved
    for (const auto& [id, descriptors] : services) {
        body.push_back(static_cast<uint8_t>(id >> 8));
        body.push_back(static_cast<uint8_t>(id));
        body.push_back(0xFF);
        size_t loop = descriptors.size();
        body.push_back(static_cast<uint8_t>(0x80 | (loop >> 8 & 0x0F)));
        body.push_back(static_cast<uint8_t>(loop));
        body.insert(body.end(), descriptors.begin(), descriptors.end());
    }
    MPEG::SectionHeader header;
    header.table_id = table_id;
    header.table_id_extension = 4;
    header.current_next = current;
    Bytes section;
    MPEG::finish_section(header, body.data(), body.size(), section);
    return section;
}

inline Bytes pat_section(const std::vector<std::pair<uint16_t, uint16_t>>& programs,
                         bool current = true) {
    Bytes body;
    for (const auto& [program, pid] : programs) {
        body.push_back(static_cast<uint8_t>(program >> 8));
        body.push_back(static_cast<uint8_t>(program));
        body.push_back(static_cast<uint8_t>(0xE0 | (pid >> 8)));
        body.push_back(static_cast<uint8_t>(pid));
    }
    MPEG::SectionHeader header;
    header.table_id = 0x00;
    header.table_id_extension = 1;
    header.current_next = current;
    Bytes section;
    MPEG::finish_section(header, body.data(), body.size(), section);
    return section;
}

// A raw section (without pointer field, as in the shared sample files) with its pointer field.
inline Bytes with_pointer_field(const Bytes& raw) {
    Bytes out{0x00};
    out.insert(out.end(), raw.begin(), raw.end());
    return out;
}

// Cuts pointer-field-first section bytes into 188-byte packets on a PID, the first one with
// payload_unit_start, the last padded with 0xFF.
inline Bytes packetize(const Bytes& section, uint16_t pid, uint8_t* counter = nullptr) {
    uint8_t local = 0;
    uint8_t& cc = counter ? *counter : local;
    Bytes out;
    for (size_t pos = 0; pos < section.size(); pos += 184) {
        out.push_back(0x47);
        out.push_back(static_cast<uint8_t>((pos == 0 ? 0x40 : 0x00) | (pid >> 8 & 0x1F)));
        out.push_back(static_cast<uint8_t>(pid));
        out.push_back(static_cast<uint8_t>(0x10 | (cc++ & 0x0F)));
        size_t n = std::min<size_t>(184, section.size() - pos);
        out.insert(out.end(), section.begin() + static_cast<long>(pos),
                   section.begin() + static_cast<long>(pos + n));
        out.insert(out.end(), 184 - n, 0xFF);
    }
    return out;
}

}  // namespace Corvid::Capture::Sections

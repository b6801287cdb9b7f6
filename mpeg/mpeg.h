// Corvid::MPEG: transport stream packets and the PSI tables (PAT, PMT, CAT): section reassembly
// with CRC check, table readers and writers, and re-emitting sections as packets.
#pragma once

#include "mpeg/cat.h"
#include "mpeg/crc32.h"
#include "mpeg/pat.h"
#include "mpeg/pmt.h"
#include "mpeg/section.h"
#include "mpeg/section_packets.h"
#include "mpeg/table_reader.h"
#include "mpeg/ts_packet.h"

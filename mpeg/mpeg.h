// Corvid::MPEG: transport stream packets, the PSI tables (PAT, PMT, CAT) and the DVB SI tables
// (EIT, SDT): section reassembly with CRC check, table readers and writers, SI time fields, and
// re-emitting sections as packets.
#pragma once

#include "mpeg/cat.h"
#include "mpeg/crc32.h"
#include "mpeg/eit.h"
#include "mpeg/pat.h"
#include "mpeg/pmt.h"
#include "mpeg/sdt.h"
#include "mpeg/section.h"
#include "mpeg/section_packets.h"
#include "mpeg/si_time.h"
#include "mpeg/table_reader.h"
#include "mpeg/ts_packet.h"

// Corvid::MPEG: transport stream packets and the PSI tables (PAT, PMT, CAT): section reassembly
// with CRC check, table readers and writers, and re-emitting sections as packets.
#pragma once

#include "mpeg/ts_packet.h"

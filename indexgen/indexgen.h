// Corvid::IndexGen: the stream analysis behind the index files. A TSPipeline cuts a capture's
// bytes into transport stream packets for its pipes; the video parsers mark the intra pictures in
// the records of the video packets; the PES and conditional-access helpers prepare the packets
// that are stored with each intra picture.
#pragma once

#include "indexgen/conditional_access.h"
#include "indexgen/h264_headers.h"
#include "indexgen/h264_parser.h"
#include "indexgen/mpeg2_parser.h"
#include "indexgen/packet_record.h"
#include "indexgen/parser.h"
#include "indexgen/pes.h"
#include "indexgen/ts_pipe.h"

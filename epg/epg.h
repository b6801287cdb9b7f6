// Corvid::Capture programme guide: DVB text and Huffman decompression, the EPG store and the
// decoder that feeds it from transport stream bytes.
#pragma once

#include "epg/dvb_text.h"
#include "epg/epg_decoder.h"
#include "epg/epg_event.h"
#include "epg/epg_store.h"
#include "epg/huffman.h"
#include "epg/utf8.h"

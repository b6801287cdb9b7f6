// Corvid::Index2: the "CVI2" index files that sit beside the segment files (format in
// docs/cvi2-format.md). IndexWriter writes one as the index generator drives it; IndexReader
// answers questions about one, including the search by normal play time.
#pragma once

#include "index2/block.h"
#include "index2/format.h"
#include "index2/header.h"
#include "index2/index_reader.h"
#include "index2/index_writer.h"

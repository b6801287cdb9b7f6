# What a capture assembles per segment: the pipeline, the index generator and the index writer.
corvid_library(NAME corvid_capture_index
  SOURCES index_set.cc
  DEPS corvid_index2 corvid_indexgen corvid_mpeg gantry_log)

corvid_test(NAME corvid_capture_index_tests
  SOURCES tests/index_set_test.cc
  DEPS corvid_capture_index
  LABELS index)

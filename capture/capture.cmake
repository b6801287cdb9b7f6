# The channel capture: definition, receive ring and thread, segment writer, schedule and pruning.
# The ring, receiver and receive thread are also what the EPG captures receive with.
corvid_library(NAME corvid_capture
  SOURCES datagram_ring.cc datagram_receiver.cc receive_thread.cc source_settings.cc rtp.cc
    capture_settings.cc
    storage_roots.cc schedule.cc segment_file.cc segment_writer.cc segment_files.cc
    capture_thread.cc capture.cc epg_capture.cc
  DEPS corvid_capture_index corvid_capture_playlist corvid_epg gantry_net gantry_mt gantry_xml
    gantry_log gantry_time)

# The end-to-end test compares live indexes with what cv-index builds offline.
corvid_test(NAME corvid_capture_tests THREADED
  SOURCES tests/capture_test.cc
  DEPS corvid_capture
  LABELS capture)
# Guide stream captures and what captures receive: RTP, interfaces and source-specific joins.
corvid_test(NAME corvid_capture_source_tests THREADED
  SOURCES tests/epg_capture_test.cc tests/rtp_test.cc
  DEPS corvid_capture
  LABELS capture)

if(TARGET corvid_capture_tests)
  add_dependencies(corvid_capture_tests cv-index)
endif()

# The ingest benchmark's pieces (run by bench/ingest_bench.sh): a paced sender and a runner.
if(CORVID_BENCH)
  add_executable(ts-send bench/ts_send.cc)
  target_compile_options(ts-send PRIVATE ${CORVID_WARNINGS})
  add_executable(capture-run bench/capture_run.cc)
  target_compile_options(capture-run PRIVATE ${CORVID_WARNINGS})
  target_link_libraries(capture-run PRIVATE corvid_capture)
  set_target_properties(ts-send capture-run PROPERTIES RUNTIME_OUTPUT_DIRECTORY
    ${CMAKE_BINARY_DIR}/bench)
endif()

# The capture service (Capture::Server) and its control hook, which the cv-captured program runs.
corvid_library(NAME corvid_capture_service
  SOURCES server.cc server_registry.cc server_state.cc server_epg.cc server_instance.cc
    control.cc
  DEPS corvid_capture corvid_epg gantry_daemon gantry_message gantry_cache gantry_xml gantry_log)

# Runs build/bin/cv-captured in the foreground and as a daemon, and the service in-process.
corvid_test(NAME corvid_capture_service_tests THREADED TIMEOUT 120
  SOURCES tests/server_test.cc
  DEPS corvid_capture_service
  LABELS capture)
if(TARGET corvid_capture_service_tests)
  add_dependencies(corvid_capture_service_tests cv-captured cv-index)
endif()

# The guide saved while channels record (run by bench/service_bench.sh).
if(CORVID_BENCH)
  add_executable(epg-save-run bench/service_epg_save.cc)
  target_compile_options(epg-save-run PRIVATE ${CORVID_WARNINGS})
  target_link_libraries(epg-save-run PRIVATE corvid_capture)
  set_target_properties(epg-save-run PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()

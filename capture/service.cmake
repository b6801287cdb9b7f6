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
  add_dependencies(corvid_capture_service_tests cv-captured)
endif()

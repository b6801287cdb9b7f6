# The read-only HTTP endpoints of the service: /metrics, HLS playlists with their byte ranges, and
# the guide as XMLTV.
corvid_library(NAME corvid_capture_http
  SOURCES http_metrics.cc http_hls.cc http_xmltv.cc http_endpoints.cc
  DEPS corvid_capture_service corvid_capture_playlist corvid_epg gantry_web gantry_log)

# Served in-process on 127.0.0.1: ffmpeg plays the HLS over HTTP, xmllint reads the XMLTV, and the
# metrics pass a strict parser of the exposition format.
corvid_test(NAME corvid_capture_http_tests TIMEOUT 60
  SOURCES tests/http_test.cc
  DEPS corvid_capture_http gantry_net
  STREAMS LABELS capture)
if(TARGET corvid_capture_http_tests)
  add_dependencies(corvid_capture_http_tests cv-index)
endif()

# Run by hand: capture/bench/http_bench.sh BUILD_DIR STREAM (a build with -DCORVID_BENCH=ON).
if(CORVID_BENCH)
  add_executable(http-serve bench/http_serve.cc)
  target_compile_options(http-serve PRIVATE ${CORVID_WARNINGS})
  target_link_libraries(http-serve PRIVATE corvid_capture_http gantry_net)
  set_target_properties(http-serve PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()

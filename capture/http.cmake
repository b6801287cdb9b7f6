# The read-only HTTP endpoints of the service: /metrics, HLS playlists with their byte ranges, the
# guide as XMLTV, the JSON view and the operator's page. Part of the service, which adds them to
# its SOAP servers.
target_sources(corvid_capture_service PRIVATE
  http_metrics.cc http_hls.cc http_xmltv.cc http_endpoints.cc http_requests.cc http_json.cc
  http_page.cc)

# The page's files, built into the program.
set(page_files index.html page.js page.css vendor/hls.min.js vendor/LICENSE)
list(TRANSFORM page_files PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/page/ OUTPUT_VARIABLE page_paths)
string(REPLACE ";" "|" page_list "${page_files}")
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/page_files.cc
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/page_files.cc
    -DBASE=${CMAKE_CURRENT_SOURCE_DIR}/page -DFILES=${page_list} -DHEADER=capture/http_page.h
    -DNAMESPACE=Corvid::Capture -DFUNCTION=page_files -P ${PROJECT_SOURCE_DIR}/cmake/EmbedFiles.cmake
  DEPENDS ${page_paths} ${PROJECT_SOURCE_DIR}/cmake/EmbedFiles.cmake VERBATIM)
target_sources(corvid_capture_service PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/page_files.cc)
target_link_libraries(corvid_capture_service PUBLIC corvid_capture_playlist gantry_web)
target_compile_definitions(corvid_capture_service PRIVATE CORVID_VERSION="${PROJECT_VERSION}")

# Served in-process on 127.0.0.1: ffmpeg plays the HLS over HTTP, xmllint reads the XMLTV, and
# promtool checks the metrics.
corvid_test(NAME corvid_capture_http_tests TIMEOUT 60
  SOURCES tests/http_test.cc
  DEPS corvid_capture_service gantry_net
  STREAMS LABELS capture)
if(TARGET corvid_capture_http_tests)
  add_dependencies(corvid_capture_http_tests cv-index)
  corvid_link_whole(corvid_capture_http_tests PRIVATE corvid_capture_handlers)
endif()

# Run by hand: capture/bench/http_bench.sh BUILD_DIR STREAM (a build with -DCORVID_BENCH=ON).
if(CORVID_BENCH)
  add_executable(http-serve bench/http_serve.cc)
  target_compile_options(http-serve PRIVATE ${CORVID_WARNINGS})
  target_link_libraries(http-serve PRIVATE corvid_capture_service gantry_net)
  set_target_properties(http-serve PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()

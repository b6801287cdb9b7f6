# The request handlers and the WSDL that describes them. The handlers register themselves from
# static objects, so a program takes them with corvid_link_whole.
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/wsdl_document.cc
  COMMAND ${CMAKE_COMMAND} -DINPUT=${CMAKE_CURRENT_SOURCE_DIR}/wsdl/captured.wsdl
    -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/wsdl_document.cc -P ${CMAKE_CURRENT_SOURCE_DIR}/wsdl/embed.cmake
  DEPENDS wsdl/captured.wsdl wsdl/embed.cmake
  COMMENT "Embedding the WSDL")
corvid_library(NAME corvid_capture_wsdl SOURCES ${CMAKE_CURRENT_BINARY_DIR}/wsdl_document.cc)

# The service's control interface (control.cc) starts the transports and serves the WSDL.
target_link_libraries(corvid_capture_service PUBLIC gantry_soap gantry_trellis corvid_capture_wsdl)

corvid_library(NAME corvid_capture_handlers
  SOURCES mh_capture_control.cc mh_capture_playlist.cc mh_capture_epg.cc
  DEPS corvid_capture_service gantry_message gantry_log gantry_time)

# The handlers in the cv-captured program over SOAP (curl, python3-zeep from the WSDL) and the bus
# (tools/cv-bus).
corvid_test(NAME corvid_capture_control_tests TIMEOUT 120
  SOURCES tests/control_test.cc
  DEPS corvid_capture_playlist corvid_epg gantry_net
  LABELS capture)
if(TARGET corvid_capture_control_tests)
  add_dependencies(corvid_capture_control_tests cv-index cv-captured)
endif()

# Installation where Debian puts things, and the Debian package (cpack -G DEB in the build folder).
# Programs go under the prefix (/usr for the package); the configuration and the unit go to their
# absolute places, which is where the system looks for them whatever the prefix.
foreach(program cv-captured cv-index cv-epg)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION bin)
  endif()
endforeach()
install(PROGRAMS tools/cv-bus/cv-bus DESTINATION bin)
install(FILES packaging/cv-captured.service DESTINATION /lib/systemd/system)
install(FILES packaging/captured.cfg.xml DESTINATION /etc/corvid)
set(CORVID_DOC_DIR share/doc/cv-captured)
install(FILES README.md docs/architecture.md docs/cvi2-format.md DESTINATION ${CORVID_DOC_DIR})
install(FILES examples/captured.cfg.xml DESTINATION ${CORVID_DOC_DIR}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cv-captured)
set(CPACK_PACKAGE_VENDOR Corvid)
set(CPACK_PACKAGE_CONTACT "Corvid maintainers <corvid@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Corvid capture daemon: records IPTV multicast channels")
set(CPACK_PACKAGE_DESCRIPTION
  "Records MPEG-2 transport streams from UDP multicast into indexed time-sliced segments, \
builds playlists of them, and keeps the DVB programme guide they carry; controlled over SOAP \
and a message bus.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS python3)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# Builds the package from this build folder and checks it: contents, control data, the unit, and
# the installed program run from a scratch root.
if(CORVID_TESTS)
  add_test(NAME package_contents
    COMMAND ${PROJECT_SOURCE_DIR}/packaging/tests/package_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(package_contents PROPERTIES LABELS package TIMEOUT 120)
endif()

# The fault drills of the daemon (packaging/drills/drills.py, about 25 s): off by default, since
# they need root (a private mount namespace and a tmpfs) and a build of cv-captured and cv-index.
option(CORVID_DRILLS "Register the fault drills as the test capture_drills (label drills)" OFF)
if(CORVID_TESTS AND CORVID_DRILLS)
  add_test(NAME capture_drills COMMAND /usr/bin/python3
    ${PROJECT_SOURCE_DIR}/packaging/drills/drills.py ${CMAKE_BINARY_DIR}
    ${CMAKE_BINARY_DIR}/test-streams/h264-idr2s.ts)
  set_tests_properties(capture_drills PROPERTIES LABELS drills TIMEOUT 90
    FIXTURES_REQUIRED test_streams)
endif()

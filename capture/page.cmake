# The operator's page in headless Chromium (Debian's chromium, chromium-driver and python3-selenium)
# against the cv-captured program recording a channel; the screenshot lands in artifacts/page.png.
# The program is made wherever tests are, except in fuzzing builds and the ThreadSanitizer run.
if(CORVID_TESTS AND NOT CORVID_FUZZ AND NOT CORVID_ONLY_THREADED
   AND EXISTS ${CMAKE_SOURCE_DIR}/tools/cv-captured/CMakeLists.txt)
  add_test(NAME corvid_capture_page_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/tests/page_test.py
      $<TARGET_FILE:cv-captured> ${CMAKE_BINARY_DIR}/artifacts)
  set_tests_properties(corvid_capture_page_test PROPERTIES
    LABELS "capture;browser" TIMEOUT 120 SKIP_RETURN_CODE 77)
endif()

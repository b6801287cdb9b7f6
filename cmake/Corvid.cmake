# Build helpers shared by every module. A module's CMakeLists.txt uses only these.

set(CORVID_WARNINGS -Wall -Wextra)
if(CORVID_WERROR)
  list(APPEND CORVID_WARNINGS -Werror)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # Checks the lock annotations of gantry/mt/annotations.h.
  list(APPEND CORVID_WARNINGS -Wthread-safety)
endif()

if(CORVID_SANITIZE)
  # -O1 (after the build type's -O2) is what the sanitizers are tuned for, and compiles faster.
  add_compile_options(-O1 -fsanitize=${CORVID_SANITIZE} -fno-omit-frame-pointer
    -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${CORVID_SANITIZE})
endif()
if(CORVID_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "CORVID_FUZZ needs clang (CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

add_custom_target(threaded_tests)
add_custom_target(fuzzers)

# corvid_library(NAME target [SOURCES ...] [DEPS ...])
# A library without sources becomes an INTERFACE (header-only) library.
function(corvid_library)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPS" ${ARGN})
  if(ARG_SOURCES)
    add_library(${ARG_NAME} STATIC ${ARG_SOURCES})
    target_include_directories(${ARG_NAME} PUBLIC ${PROJECT_SOURCE_DIR})
    target_compile_options(${ARG_NAME} PRIVATE ${CORVID_WARNINGS})
    target_link_libraries(${ARG_NAME} PUBLIC ${ARG_DEPS})
  else()
    add_library(${ARG_NAME} INTERFACE)
    target_include_directories(${ARG_NAME} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${ARG_NAME} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# corvid_test(NAME target SOURCES ... [DEPS ...] [THREADED] [STREAMS] [LABELS ...] [TIMEOUT s])
# THREADED: also run under ThreadSanitizer in CI. STREAMS: needs the ffmpeg-generated test streams
# (labelled "streams").
function(corvid_test)
  if(NOT CORVID_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "THREADED;STREAMS" "NAME;TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  if(CORVID_ONLY_THREADED AND NOT ARG_THREADED)
    return()
  endif()
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_compile_options(${ARG_NAME} PRIVATE ${CORVID_WARNINGS})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPS} corvid_test_support GTest::gmock GTest::gtest_main)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # g++ 12 reports the inlined copies of std::string and std::vector in test code as out of
    # bounds (a known false positive of that release, fixed in 13).
    target_compile_options(${ARG_NAME} PRIVATE -Wno-array-bounds -Wno-stringop-overflow
      -Wno-stringop-overread -Wno-restrict)
  endif()
  set(labels ${ARG_LABELS})
  if(ARG_STREAMS)
    # Slow oracles over the generated streams: the sanitizer run in CI leaves them to the plain one.
    list(APPEND labels streams)
  endif()
  if(ARG_THREADED)
    list(APPEND labels threaded)
    add_dependencies(threaded_tests ${ARG_NAME})
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(props TIMEOUT ${ARG_TIMEOUT})
  if(labels)
    # Test discovery flattens a list of labels, so each test gets one: the label CI selects by
    # (threaded, then streams) before the module's own.
    list(FIND labels threaded threaded_at)
    list(FIND labels streams streams_at)
    if(threaded_at GREATER -1)
      set(labels threaded)
    elseif(streams_at GREATER -1)
      set(labels streams)
    endif()
    list(GET labels 0 label)
    list(APPEND props LABELS ${label})
  endif()
  if(ARG_STREAMS)
    list(APPEND props FIXTURES_REQUIRED test_streams)
  endif()
  gtest_discover_tests(${ARG_NAME} DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} PROPERTIES ${props})
endfunction()

# corvid_bench(NAME target SOURCES ... [DEPS ...]): built with the project, run by hand.
function(corvid_bench)
  if(NOT CORVID_BENCH)
    return()
  endif()
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_compile_options(${ARG_NAME} PRIVATE ${CORVID_WARNINGS})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPS} corvid_test_support benchmark::benchmark)
  set_target_properties(${ARG_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()

# corvid_fuzz(NAME target SOURCES ... [DEPS ...] [CORPUS dir]
#             [SHARED_SEEDS path... [SEED_PREFIX hex] [SEED_BYTES n]]):
# a libFuzzer target in build/fuzz. CI runs each for a fixed time, starting from the seed corpus
# named in build/fuzz/<target>.corpus, plus seeds it cuts at run time from the shared test data
# (paths relative to ../shared, listed in build/fuzz/<target>.seeds): the first SEED_BYTES bytes of
# each file (default 3008, 16 packets) behind SEED_PREFIX (the target's own header bytes, if any).
# Real captures thus seed the fuzzers without being copied into the repository.
function(corvid_fuzz)
  if(NOT CORVID_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "NAME;CORPUS;SEED_PREFIX;SEED_BYTES" "SOURCES;DEPS;SHARED_SEEDS"
    ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_compile_options(${ARG_NAME} PRIVATE ${CORVID_WARNINGS})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPS})
  target_link_options(${ARG_NAME} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${ARG_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  if(ARG_CORPUS)
    get_filename_component(corpus ${ARG_CORPUS} ABSOLUTE)
    file(WRITE ${CMAKE_BINARY_DIR}/fuzz/${ARG_NAME}.corpus "${corpus}\n")
  endif()
  if(ARG_SHARED_SEEDS)
    if(NOT ARG_SEED_PREFIX)
      set(ARG_SEED_PREFIX "-")
    endif()
    if(NOT ARG_SEED_BYTES)
      set(ARG_SEED_BYTES 3008)
    endif()
    set(lines "")
    foreach(seed IN LISTS ARG_SHARED_SEEDS)
      string(APPEND lines "${ARG_SEED_PREFIX} ${ARG_SEED_BYTES} ${seed}\n")
    endforeach()
    file(WRITE ${CMAKE_BINARY_DIR}/fuzz/${ARG_NAME}.seeds "${lines}")
  endif()
  add_dependencies(fuzzers ${ARG_NAME})
endfunction()

# corvid_tool(NAME exe SOURCES ... [DEPS ...]): a command-line tool, placed in build/bin.
function(corvid_tool)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPS" ${ARGN})
  if(CORVID_FUZZ)
    return()
  endif()
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_compile_options(${ARG_NAME} PRIVATE ${CORVID_WARNINGS})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPS})
  set_target_properties(${ARG_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CORVID_BIN_DIR})
endfunction()

# corvid_link_whole(target scope lib...): links static libraries whole, so that objects holding only
# self-registering statics (request handlers) are kept by the linker. Every consumer of such a
# library must link it this way: CMake refuses a mix of plain and whole-archive links of one library.
function(corvid_link_whole target scope)
  foreach(lib IN LISTS ARGN)
    target_link_libraries(${target} ${scope} "$<LINK_LIBRARY:WHOLE_ARCHIVE,${lib}>")
  endforeach()
endfunction()

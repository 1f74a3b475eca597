# Third-party libraries. PCRE and liburing are linked statically (both archives are PIC), so the
# package file depends on neither at run time and cannot clash with another package's copy.
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)

find_path(PCRE_INCLUDE_DIR pcre.h REQUIRED)
find_library(PCRE_STATIC_LIBRARY NAMES libpcre.a REQUIRED)
add_library(corvex_pcre INTERFACE)
target_include_directories(corvex_pcre SYSTEM INTERFACE ${PCRE_INCLUDE_DIR})
target_link_libraries(corvex_pcre INTERFACE ${PCRE_STATIC_LIBRARY})

find_path(URING_INCLUDE_DIR liburing.h)
find_library(URING_STATIC_LIBRARY NAMES liburing.a)
add_library(corvex_uring INTERFACE)
if(URING_INCLUDE_DIR AND URING_STATIC_LIBRARY)
  target_include_directories(corvex_uring SYSTEM INTERFACE ${URING_INCLUDE_DIR})
  target_link_libraries(corvex_uring INTERFACE ${URING_STATIC_LIBRARY})
  target_compile_definitions(corvex_uring INTERFACE CORVEX_HAVE_URING=1)
endif()

find_path(PCAP_INCLUDE_DIR pcap/pcap.h REQUIRED)
find_library(PCAP_LIBRARY NAMES pcap REQUIRED)
add_library(corvex_pcap INTERFACE)
target_include_directories(corvex_pcap SYSTEM INTERFACE ${PCAP_INCLUDE_DIR})
target_link_libraries(corvex_pcap INTERFACE ${PCAP_LIBRARY})

if(CORVEX_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(CORVEX_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()

# corvex_add_gtest(NAME SOURCES... [LIBS ...] [LABELS ...]): one GoogleTest binary, its cases
# registered with CTest one by one. LIBS: the layer under test (and the host, when the test needs
# the engine stand-in); nothing above it.
function(corvex_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock
                                        GTest::gtest_main corvex_warnings)
  target_include_directories(${name} PRIVATE ${CORVEX_SOURCE_DIR}/tests)
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS "${T_LABELS}" TIMEOUT 120)
endfunction()

# corvex_add_bench(NAME SOURCES... [LIBS ...]): a Google Benchmark binary, not run by CTest.
function(corvex_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark corvex_warnings)
endfunction()

# Install rules and the Debian package.
#
#   <prefix>/bin/corvex-merge, corvex-run, corvex-pckinfo  the programs
#   <prefix>/bin/corvex_pack                          the packaging tool of the SDK
#   <prefix>/lib/corvex/packages/*.pck                 the package file, found by the programs
#                                                      relative to themselves (bin/../lib/...)
#   <prefix>/share/man/man1/*.1                        the manual pages
#   <prefix>/share/doc/corvex-sorting-multiplexer/examples/  the author's guide, its example
#   <prefix>/include/corvex/<folder>/*.h               the headers a component author includes
#   <prefix>/<libdir>/libcorvex_runtime.a              the runtime a package links
#   <prefix>/<libdir>/corvex/vant_package_entry.o      the package's two entry points
#   <prefix>/<libdir>/cmake/Corvex/                    find_package(Corvex CONFIG)
#
# Nothing of the tests, benchmarks or fuzz targets is installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CORVEX_PACKAGE_DIR lib/corvex/packages) # fixed: the programs look there, bin/../lib/...
set(CORVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Corvex)

install(TARGETS corvex-merge corvex-run corvex-pckinfo corvex_pack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CORVEX_PACKAGE_FILE} DESTINATION ${CORVEX_PACKAGE_DIR})
# The component author's guide with its example package and the example diagrams.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvex-sorting-multiplexer
        PATTERN "*.pcap" EXCLUDE)
# The sample captures the example diagrams play (../../data/captures/ from their folder).
install(FILES ${PROJECT_SOURCE_DIR}/data/captures/cap_http.pcap
              ${PROJECT_SOURCE_DIR}/data/captures/cap_icmp.pcap
              ${PROJECT_SOURCE_DIR}/data/captures/cap_tcpchat.pcap
              ${PROJECT_SOURCE_DIR}/data/captures/cap_udp.pcap
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvex-sorting-multiplexer/data/captures)

# ---- Manual pages, from their scdoc sources
find_program(CORVEX_SCDOC scdoc)
if(CORVEX_SCDOC)
  set(pages "")
  foreach(page corvex-merge.1 corvex-pckinfo.1 corvex-run.1)
    set(source ${CORVEX_SOURCE_DIR}/doc/man/${page}.scd)
    set(made ${CORVEX_BINARY_DIR}/man/${page})
    add_custom_command(OUTPUT ${made}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CORVEX_BINARY_DIR}/man
      COMMAND ${CORVEX_SCDOC} < ${source} > ${made}
      DEPENDS ${source}
      COMMENT "Manual page ${page}")
    list(APPEND pages ${made})
  endforeach()
  add_custom_target(corvex_man_pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "scdoc not found: the manual pages are neither built nor installed "
                  "(apt-get install scdoc)")
endif()

# ---- The SDK: headers, the runtime archive, the CMake package
# The runtime archive holds every layer a package links and the PCAP component base, from the
# objects this build compiles for its own package. The entry points stay an object file of their
# own: a package hides every symbol of the archives it links, and they must stay visible.
set(CORVEX_SDK_LIBRARIES vant_kernel vant_util vant_sync vant_files vant_dataflow vant_runtime
                         vant_pcap_stream vant_package vant_pcap_component)
set(objects "")
foreach(library IN LISTS CORVEX_SDK_LIBRARIES)
  list(APPEND objects $<TARGET_OBJECTS:${library}>)
endforeach()
add_library(corvex_runtime STATIC ${objects})
set_target_properties(corvex_runtime PROPERTIES LINKER_LANGUAGE CXX)
install(TARGETS corvex_runtime ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES $<TARGET_OBJECTS:vant_package_entry> DESTINATION ${CMAKE_INSTALL_LIBDIR}/corvex
        RENAME vant_package_entry.o)

# The headers of those folders (their includes stay within them). examples/README.md tells which
# are the author's surface and which are the runtime's own.
foreach(folder kernel util sync files dataflow runtime pcap_stream package local_interfaces
               pcap_component)
  file(GLOB headers ${CORVEX_SOURCE_DIR}/${folder}/*.h)
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/corvex/${folder})
endforeach()

# What a package must be compiled with to match the runtime: the internal checks change the
# layout of nothing, but their macro is seen in the headers.
set(CORVEX_SDK_DEFINITIONS "")
if(CORVEX_CHECKS)
  set(CORVEX_SDK_DEFINITIONS CORVEX_CHECKS=1)
endif()
set(CORVEX_SDK_STATIC_LIBRARIES ${PCRE_STATIC_LIBRARY})
if(URING_INCLUDE_DIR AND URING_STATIC_LIBRARY)
  list(APPEND CORVEX_SDK_STATIC_LIBRARIES ${URING_STATIC_LIBRARY})
endif()
configure_package_config_file(${CORVEX_SOURCE_DIR}/cmake/CorvexConfig.cmake.in
  ${CORVEX_BINARY_DIR}/sdk/CorvexConfig.cmake
  INSTALL_DESTINATION ${CORVEX_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_BINDIR)
write_basic_package_version_file(${CORVEX_BINARY_DIR}/sdk/CorvexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CORVEX_BINARY_DIR}/sdk/CorvexConfig.cmake
              ${CORVEX_BINARY_DIR}/sdk/CorvexConfigVersion.cmake
              ${CORVEX_SOURCE_DIR}/cmake/CorvexPackage.cmake
              ${CORVEX_SOURCE_DIR}/packaging/corvex_package.map
        DESTINATION ${CORVEX_CMAKE_DIR})

# ---- The Debian package (cpack -G DEB in the build folder)
if(PROJECT_IS_TOP_LEVEL)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME corvex-sorting-multiplexer)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_VENDOR "Corvex")
  set(CPACK_PACKAGE_CONTACT "Corvex developers <corvex@localhost>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "time-ordered merge of packet captures through the Corvex sorting multiplexer")
  # One line of text per line of the field (cpack indents them).
  string(JOIN "\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION
         "corvex-merge merges pcap and pcapng captures (files, pipes or live interfaces)"
         "into one capture in time order, through the SortingMultiplexer component package"
         "of the Corvex data-flow engine; corvex-pckinfo shows and checks package files."
         "Also the SDK for writing component packages: headers, the static runtime,"
         "corvex_pack and a CMake package (find_package(Corvex)).")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  # The shared libraries the programs link (libpcap, zlib, zstd, the C++ runtime), as
  # dpkg-shlibdeps finds them; PCRE and liburing are linked statically.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # What a component author needs beside the SDK: a compiler, CMake and the static libraries the
  # runtime archive links.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cmake, g++, libpcre3-dev, liburing-dev")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  include(CPack)
endif()

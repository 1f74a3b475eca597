# corvex_add_package: builds a component package file (.pck) the engine loads, the way this
# project builds its own. Used in this source tree and, installed with the SDK, by the packages of
# other authors (find_package(Corvex CONFIG REQUIRED) includes it).
#
#   corvex_add_package(NAME name VERSION 1.0.0 DESCRIPTION "Maker what-it-is"
#                      SOURCES a.cpp b.cpp... [LIBRARIES lib...] [OUTPUT_DIRECTORY dir])
#
# makes the shared library target NAME from SOURCES (and the object libraries among LIBRARIES),
# linked with LIBRARIES and the component
# runtime, and after every link the file OUTPUT_DIRECTORY/NAME.pck (default: the current binary
# folder): the library followed by its package information block (FILENAME NAME.pck, VERSION,
# DESCRIPTION). The target's property CORVEX_PACKAGE_FILE holds the file's path.
#
# The library exports VANTPckInit and VANTGetModulesDefStruct only; everything it links stays
# inside it (-Wl,--exclude-libs,ALL, -Bsymbolic), so that packages loaded side by side never share
# a runtime, and an undefined symbol fails the link, not the load.
#
# Set by the caller of this file: CORVEX_PACKAGE_RUNTIME (what every package links: the entry
# points and the runtime), CORVEX_PACK_COMMAND (the packaging tool's target) and
# CORVEX_PACKAGE_MAP (the linker version script).
include_guard(GLOBAL)

function(corvex_add_package)
  cmake_parse_arguments(P "" "NAME;VERSION;DESCRIPTION;OUTPUT_DIRECTORY" "SOURCES;LIBRARIES" ${ARGN})
  foreach(required NAME VERSION DESCRIPTION)
    if(NOT P_${required})
      message(FATAL_ERROR "corvex_add_package: ${required} is required")
    endif()
  endforeach()
  if(P_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "corvex_add_package: unknown arguments ${P_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT P_OUTPUT_DIRECTORY)
    set(P_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()

  add_library(${P_NAME} SHARED ${P_SOURCES})
  target_link_libraries(${P_NAME} PRIVATE ${P_LIBRARIES} ${CORVEX_PACKAGE_RUNTIME})
  # The entry points are an object file, not an archive member: --exclude-libs would hide them.
  target_link_options(${P_NAME} PRIVATE
    -Wl,--no-undefined -Wl,--exclude-libs,ALL -Wl,-Bsymbolic
    -Wl,--version-script=${CORVEX_PACKAGE_MAP})
  set_target_properties(${P_NAME} PROPERTIES
    CXX_STANDARD 20
    CXX_STANDARD_REQUIRED ON
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${CORVEX_PACKAGE_MAP})

  set(file ${P_OUTPUT_DIRECTORY}/${P_NAME}.pck)
  set_target_properties(${P_NAME} PROPERTIES CORVEX_PACKAGE_FILE ${file})
  add_custom_command(TARGET ${P_NAME} POST_BUILD
    COMMAND ${CORVEX_PACK_COMMAND} --input $<TARGET_FILE:${P_NAME}> --output ${file}
            --version ${P_VERSION} --description ${P_DESCRIPTION}
    COMMENT "Packaging ${P_NAME}.pck"
    VERBATIM)
  # A new packaging tool relinks the library, so that the package file is written again by it.
  set_property(TARGET ${P_NAME} APPEND PROPERTY LINK_DEPENDS $<TARGET_FILE:${CORVEX_PACK_COMMAND}>)
  get_target_property(imported ${CORVEX_PACK_COMMAND} IMPORTED)
  if(NOT imported)
    add_dependencies(${P_NAME} ${CORVEX_PACK_COMMAND})
  endif()
endfunction()

# The include rule of the layers (cmake/CorvexLayers.cmake): a source file includes headers of its
# own folder and of folders of lower layers only. Run by CTest as layering.includes:
#   cmake -DSOURCE_DIR=<repository> -P cmake/CorvexCheckIncludes.cmake
# With -DSELF_TEST=ON it checks instead that the link check finds an upward and a sideways link
# and accepts a downward one (layering.check_finds_upward_links).
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/CorvexLayers.cmake)

if(SELF_TEST)
  corvex_layer_violations(found CORVEX_LAYERS
    "vant_dataflow=vant_runtime,vant_sync" "vant_sync=vant_files" "vant_runtime=vant_dataflow")
  set(expected "vant_dataflow (layer 3) -> vant_runtime (layer 4)"
               "vant_sync (layer 2) -> vant_files (layer 2)")
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "the link check found:\n  ${found}\nexpected:\n  ${expected}")
  endif()
  message(STATUS "the link check finds upward and sideways links and accepts downward ones")
  return()
endif()

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<repository> -P ${CMAKE_CURRENT_LIST_FILE}")
endif()

set(violations "")
set(checked 0)
foreach(layer IN LISTS CORVEX_FOLDER_LAYERS)
  string(REPLACE " " ";" folders "${layer}")
  foreach(folder IN LISTS folders)
    corvex_layer_index(own ${folder} ${CORVEX_FOLDER_LAYERS})
    file(GLOB files ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
    foreach(file IN LISTS files)
      math(EXPR checked "${checked} + 1")
      file(STRINGS ${file} includes REGEX "^#include \"[^\"]+/[^/\"]+\"")
      foreach(line IN LISTS includes)
        string(REGEX REPLACE "^#include \"(.+)/[^/\"]+\".*$" "\\1" included "${line}")
        if(included STREQUAL folder)
          continue()
        endif()
        corvex_layer_index(other ${included} ${CORVEX_FOLDER_LAYERS})
        if(other LESS 0 OR other GREATER_EQUAL own)
          file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
          list(APPEND violations "${name} (${folder}, layer ${own}) includes ${included}/ (layer ${other})")
        endif()
      endforeach()
    endforeach()
  endforeach()
endforeach()

if(violations)
  string(REPLACE ";" "\n  " text "${violations}")
  message(FATAL_ERROR "includes against the layers (cmake/CorvexLayers.cmake):\n  ${text}")
endif()
message(STATUS "${checked} files include only their own folder and lower layers")

# The layers of the code, lowest first: one library per source folder, and a library links only
# libraries of lower layers. Libraries of one layer never link each other.
#
#   kernel            the host kernel interface, its accessor, the report levels
#   util              strings, containers, regular expressions, text encodings
#   sync, files       events, waits, engine time, mutexes, threads; file access
#   dataflow          I/O elements, FIFOs, outputs and inputs (owners seen as VANTDataflowOwner)
#   runtime,          modules, components, properties, actions, reports;
#   pcap_stream       the PCAP stream type (element header, packet walk, type word, filter)
#   package,          the module registry and the package's entry points; the dynamic input and
#   local_interfaces, output models; the base of components that write PCAP streams
#   pcap_component
#   component, host,  the multiplexer; the engine stand-in and
#   host/components   the host's components (file player, recorder)
#   tools/graph       a graph of components run in the engine stand-in: the pipeline both
#                     programs share
#   tools/merge       corvex-merge's parts (and what the programs share)
#   tools/run         corvex-run's parts: diagram files and their runs
#
# corvex_check_layers() fails the configuration when a library links one of its own layer or of
# a higher one; the test layering.includes fails when a source file includes a header of such a
# folder (cmake/CorvexCheckIncludes.cmake). corvex_packinfo stands apart: it uses nothing of ours.
set(CORVEX_LAYERS
  "vant_kernel corvex_packinfo"
  "vant_util"
  "vant_sync vant_files"
  "vant_dataflow"
  "vant_runtime vant_pcap_stream"
  "vant_package vant_local_interfaces vant_pcap_component"
  "vant_package_entry vant_component corvex_host corvex_host_components"
  "corvex_graph"
  "corvex_merge_tool"
  "corvex_run_tool")

# The same layers by source folder, for the include check.
set(CORVEX_FOLDER_LAYERS
  "kernel packaging"
  "util"
  "sync files"
  "dataflow"
  "runtime pcap_stream"
  "package local_interfaces pcap_component"
  "component host host/components"
  "tools/graph"
  "tools/merge"
  "tools/run"
  "tools")

# corvex_layer_index(VAR NAME LAYERS...): the index of the layer that lists NAME, or -1.
function(corvex_layer_index var name)
  set(index 0)
  foreach(layer IN LISTS ARGN)
    string(REPLACE " " ";" members "${layer}")
    if(name IN_LIST members)
      set(${var} ${index} PARENT_SCOPE)
      return()
    endif()
    math(EXPR index "${index} + 1")
  endforeach()
  set(${var} -1 PARENT_SCOPE)
endfunction()

# corvex_layer_violations(VAR LAYERS_VAR TARGET=LINKED,LINKED... ...): "TARGET -> LINKED" for each
# link of a layered target to a layered library that is not below it.
function(corvex_layer_violations var layers_var)
  set(found "")
  foreach(entry IN LISTS ARGN)
    string(REPLACE "=" ";" parts "${entry}")
    list(GET parts 0 target)
    list(LENGTH parts count)
    if(count LESS 2)
      continue()
    endif()
    list(GET parts 1 links)
    string(REPLACE "," ";" links "${links}")
    corvex_layer_index(own ${target} ${${layers_var}})
    if(own LESS 0)
      continue()
    endif()
    foreach(linked IN LISTS links)
      corvex_layer_index(other ${linked} ${${layers_var}})
      if(other GREATER_EQUAL own)
        list(APPEND found "${target} (layer ${own}) -> ${linked} (layer ${other})")
      endif()
    endforeach()
  endforeach()
  set(${var} "${found}" PARENT_SCOPE)
endfunction()

# corvex_check_layers(): every layered library's direct links, checked against the layers.
function(corvex_check_layers)
  set(entries "")
  foreach(layer IN LISTS CORVEX_LAYERS)
    string(REPLACE " " ";" members "${layer}")
    foreach(target IN LISTS members)
      if(NOT TARGET ${target})
        message(FATAL_ERROR "layering: ${target} is listed in CORVEX_LAYERS but not defined")
      endif()
      set(links "")
      foreach(property LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
        get_target_property(value ${target} ${property})
        if(value)
          foreach(item IN LISTS value)
            # $<LINK_ONLY:x> (a private link of a static library, seen by its users) counts as x.
            string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" item "${item}")
            list(APPEND links "${item}")
          endforeach()
        endif()
      endforeach()
      list(REMOVE_DUPLICATES links)
      string(REPLACE ";" "," links "${links}")
      list(APPEND entries "${target}=${links}")
    endforeach()
  endforeach()
  corvex_layer_violations(violations CORVEX_LAYERS ${entries})
  if(violations)
    string(REPLACE ";" "\n  " text "${violations}")
    message(FATAL_ERROR "layering: a library links one of its own or a higher layer "
                        "(cmake/CorvexLayers.cmake):\n  ${text}")
  endif()
endfunction()

# corvex_add_library(NAME TYPE [SOURCES ...] [PUBLIC ...] [PRIVATE ...]): a library of the
# project's own code: the repository root as its include directory, warnings as errors.
function(corvex_add_library name type)
  cmake_parse_arguments(L "" "" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  if(type STREQUAL "INTERFACE")
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CORVEX_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${L_PUBLIC})
    return()
  endif()
  add_library(${name} ${type} ${L_SOURCES})
  target_include_directories(${name} PUBLIC ${CORVEX_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${L_PUBLIC} PRIVATE ${L_PRIVATE} corvex_warnings)
endfunction()

# The layer check (cmake/layers.cmake), run as a build step:
#   cmake -DROOT=<source root> -DMAP=<layer map> -DSTAMP=<file to touch> -P check_layers.cmake
# A file's folder is its layer. Fails with one line per offence when a program file includes a
# header from the folder of a layer its own layer does not build on.
cmake_minimum_required(VERSION 3.25)
include(${MAP})

set(offences "")
foreach(layer ${LAYERS})
  file(GLOB files RELATIVE ${ROOT} ${ROOT}/${layer}/*.h ${ROOT}/${layer}/*.cpp)
  list(SORT files)
  foreach(file ${files})
    file(STRINGS ${ROOT}/${file} lines)
    set(number 0)
    foreach(line IN LISTS lines)
      math(EXPR number "${number} + 1")
      if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"(([^\"/]+)/[^\"]+)\"")
        continue()
      endif()
      set(header ${CMAKE_MATCH_1})
      set(header_layer ${CMAKE_MATCH_2})
      if(header_layer IN_LIST LAYERS AND NOT header_layer IN_LIST ALLOWED_${layer})
        string(APPEND offences "  ${file}:${number}: includes \"${header}\" of layer "
                               "'${header_layer}', which layer '${layer}' does not build on "
                               "(its files may include: ${ALLOWED_${layer}})\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(offences)
  message(FATAL_ERROR "An include runs against the program's layers (cmake/layers.cmake):\n"
                      "${offences}")
endif()
file(TOUCH ${STAMP})

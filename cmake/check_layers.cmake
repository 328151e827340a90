# The layer check (cmake/layers.cmake), run as a build step:
#   cmake -DROOT=<source root> -DMAP=<layer map> -DSTAMP=<file to touch> -DFOLDERS=<folders>
#         -P check_layers.cmake
# Fails with one line per offence when a program file includes a program header of a layer its
# own layer does not build on, or when a program file belongs to no layer.
cmake_minimum_required(VERSION 3.25)
include(${MAP})

set(globs)
foreach(folder ${FOLDERS})
  list(APPEND globs ${ROOT}/${folder}/*.h ${ROOT}/${folder}/*.cpp)
endforeach()
file(GLOB files RELATIVE ${ROOT} ${globs})
list(SORT files)

set(offences "")
foreach(file ${files})
  list(FIND LAYER_FILES ${file} index)
  if(index LESS 0)
    string(APPEND offences "  ${file} belongs to no layer: add it to one in cmake/layers.cmake\n")
    continue()
  endif()
  list(GET LAYER_OF_FILE ${index} layer)
  file(STRINGS ${ROOT}/${file} lines)
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\"")
      continue()
    endif()
    set(header ${CMAKE_MATCH_1})
    list(FIND LAYER_FILES ${header} header_index)
    if(header_index LESS 0)
      string(APPEND offences
             "  ${file}:${number}: includes \"${header}\", which belongs to no layer\n")
      continue()
    endif()
    list(GET LAYER_OF_FILE ${header_index} header_layer)
    if(NOT header_layer IN_LIST ALLOWED_${layer})
      string(APPEND offences "  ${file}:${number}: includes \"${header}\" of layer "
                             "'${header_layer}', which layer '${layer}' does not build on "
                             "(its files may include: ${ALLOWED_${layer}})\n")
    endif()
  endforeach()
endforeach()

if(offences)
  message(FATAL_ERROR "An include runs against the program's layers (cmake/layers.cmake):\n"
                      "${offences}")
endif()
file(TOUCH ${STAMP})

# The program's layers. Each layer is one folder, built as one static library, and builds on
# the layers it names (and on everything those build on): its files may include only its own
# headers and theirs, and its library links only their libraries. Nothing builds on a layer
# above it; where a lower layer must reach a higher one, start-up fills a slot (the readers'
# two callbacks, the device table's warning and table-changed callbacks).
#
# A file's folder is its layer. The layer check, a step of every build, reads every program
# file's #include lines and fails the build for an include that runs against the layers.
#
#   layer      builds on
set(PELKAVORN_LAYERS
    "settings"                                          # the four modes and their file
    "bus"                                               # the bus client and the process's one client
    "hid"                                               # enumeration, the device handle, readers
    "translate  settings bus hid"                       # a sample and the modes in, a pad report out
    "tray"                                              # message loop, window, icon, menus, balloons
    "devices    bus hid translate tray"                 # the table, attaching, hot-plug, sample to pad
    "app        settings bus hid tray devices")         # the menu, its balloons, start-up, entry

# Makes one static library per layer from the program's sources under `root`, each linking its
# lower layers' libraries and `platform_libs`, and the check that every library waits for.
# Sets PELKAVORN_LAYER_LIBRARIES in the caller to the libraries, lowest first.
function(pelkavorn_add_layers root platform_libs)
  include(${root}/cmake/version.cmake)
  set(generated ${CMAKE_BINARY_DIR}/generated)
  pelkavorn_version_header(${root} ${generated})
  set(names)
  foreach(row ${PELKAVORN_LAYERS})
    string(REGEX REPLACE "[ \t]+" ";" row "${row}")
    list(POP_FRONT row layer)
    list(APPEND names ${layer})
    set(uses_${layer} ${row})
  endforeach()

  # Every layer may include its own headers and those of every layer below it, however far.
  set(map "set(LAYERS \"${names}\")\n")
  foreach(layer ${names})
    set(allowed ${layer})
    set(pending ${uses_${layer}})
    while(pending)
      list(POP_FRONT pending lower)
      if(NOT lower IN_LIST names)
        message(FATAL_ERROR "cmake/layers.cmake: layer '${layer}' builds on '${lower}', "
                            "which is not a layer below it")
      endif()
      if(NOT lower IN_LIST allowed)
        list(APPEND allowed ${lower})
        list(APPEND pending ${uses_${lower}})
      endif()
    endwhile()
    string(APPEND map "set(ALLOWED_${layer} \"${allowed}\")\n")
  endforeach()
  set(map_file ${CMAKE_BINARY_DIR}/pelkavorn_layers.cmake)
  file(CONFIGURE OUTPUT ${map_file} CONTENT "${map}")

  set(all_files)
  set(libraries)
  foreach(layer ${names})
    file(GLOB headers CONFIGURE_DEPENDS ${root}/${layer}/*.h)
    file(GLOB sources CONFIGURE_DEPENDS ${root}/${layer}/*.cpp)
    list(APPEND all_files ${headers} ${sources})
    set(lower)
    foreach(used ${uses_${layer}})
      list(APPEND lower pelkavorn_${used})
    endforeach()
    add_library(pelkavorn_${layer} STATIC ${sources})
    target_include_directories(pelkavorn_${layer} PUBLIC ${root} ${generated})
    target_link_libraries(pelkavorn_${layer} PUBLIC ${lower} ${platform_libs})
    add_dependencies(pelkavorn_${layer} pelkavorn_layer_check)
    list(APPEND libraries pelkavorn_${layer})
  endforeach()

  set(stamp ${CMAKE_BINARY_DIR}/pelkavorn_layers.checked)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DROOT=${root} -DMAP=${map_file} -DSTAMP=${stamp}
            -P ${root}/cmake/check_layers.cmake
    DEPENDS ${all_files} ${map_file} ${root}/cmake/check_layers.cmake
    COMMENT "Checking the program's includes against its layers"
    VERBATIM)
  add_custom_target(pelkavorn_layer_check DEPENDS ${stamp})
  set(PELKAVORN_LAYER_LIBRARIES ${libraries} PARENT_SCOPE)
endfunction()

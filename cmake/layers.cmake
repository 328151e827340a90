# The program's layers. Each layer is one static library made of the files listed for it, and
# builds on the layers it names (and on everything those build on): its files may include only
# its own headers and theirs, and its library links only their libraries. Nothing builds on a
# layer above it; where a lower layer must reach a higher one, start-up fills a slot (the
# readers' two callbacks, the device table's warning and table-changed callbacks).
#
# The folders stay as the program's subsystems have them, so a folder can hold files of two
# layers (hid/: HID access and the device table; tray/: the engine and the application menu;
# translate/: the arithmetic and the sample callback). The layer check, a step of every build,
# reads every program file's #include lines and fails the build for an include that runs
# against the layers and for a program file that belongs to no layer.

set(PELKAVORN_LAYERS settings bus hid_access translate tray_engine devices app_menu entry)

# The four modes and their file.
set(PELKAVORN_LAYER_settings_FILES app/settings.h app/settings.cpp)
set(PELKAVORN_LAYER_settings_USES)
# The bus client, and the process's one client with its connected flag.
set(PELKAVORN_LAYER_bus_FILES
    bus/bus.h bus/bus_request.h bus/bus.cpp bus/bus_ds4.cpp bus/bus_feedback.cpp
    bus/bus_async.cpp bus/bus_query.cpp app/app_state.h app/app_state.cpp)
set(PELKAVORN_LAYER_bus_USES)
# HID enumeration, the device handle and the reader threads.
set(PELKAVORN_LAYER_hid_access_FILES
    hid/wide_string.h hid/hid_enum.h hid/hid_enum.cpp hid/hid_device.h hid/hid_device.cpp
    hid/stick_reader.h hid/stick_reader.cpp)
set(PELKAVORN_LAYER_hid_access_USES)
# The translation's arithmetic: a sample and the modes in, a pad report out.
set(PELKAVORN_LAYER_translate_FILES translate/translate.h translate/translate.cpp)
set(PELKAVORN_LAYER_translate_USES settings bus hid_access)
# The tray engine: message loop, window, icon, menu engine, balloons. Knows nothing of sticks.
set(PELKAVORN_LAYER_tray_engine_FILES
    tray/tray_menu.h tray/tray_menu.cpp tray/tray.h tray/tray_engine.cpp)
set(PELKAVORN_LAYER_tray_engine_USES)
# The device table, attaching, hot-plug, and the sample callback that looks sticks up in it.
set(PELKAVORN_LAYER_devices_FILES
    hid/device_table.h hid/device_state.h hid/device_table.cpp hid/device_attach.cpp
    hid/device_rescan.cpp translate/translate_sample.h translate/translate_sample.cpp)
set(PELKAVORN_LAYER_devices_USES bus hid_access translate tray_engine)
# The application's menu, its mode switches and every balloon text.
set(PELKAVORN_LAYER_app_menu_FILES tray/app_menu.h tray/app_menu.cpp)
set(PELKAVORN_LAYER_app_menu_USES settings tray_engine devices)
# The entry point: start-up fills the slots, runs the loop, shuts down.
set(PELKAVORN_LAYER_entry_FILES app/entry.h app/entry.cpp app/startup.h app/startup.cpp)
set(PELKAVORN_LAYER_entry_USES settings bus hid_access translate tray_engine devices app_menu)

# The folders whose every .h and .cpp file must belong to a layer.
set(PELKAVORN_PROGRAM_FOLDERS app bus hid translate tray)

# Makes one static library per layer from the program's sources under `root`, each linking its
# lower layers' libraries and `platform_libs`, and the check that every library waits for.
# Sets PELKAVORN_LAYER_LIBRARIES in the caller to the libraries, lowest first.
function(pelkavorn_add_layers root platform_libs)
  # Every layer may include its own headers and those of every layer below it, however far.
  set(map "")
  foreach(layer ${PELKAVORN_LAYERS})
    set(allowed ${layer})
    set(pending ${PELKAVORN_LAYER_${layer}_USES})
    while(pending)
      list(POP_FRONT pending lower)
      if(NOT lower IN_LIST allowed)
        list(APPEND allowed ${lower})
        list(APPEND pending ${PELKAVORN_LAYER_${lower}_USES})
      endif()
    endwhile()
    string(APPEND map "set(ALLOWED_${layer} \"${allowed}\")\n")
    foreach(file ${PELKAVORN_LAYER_${layer}_FILES})
      string(APPEND map "list(APPEND LAYER_FILES ${file})\nlist(APPEND LAYER_OF_FILE ${layer})\n")
    endforeach()
  endforeach()
  set(map_file ${CMAKE_BINARY_DIR}/pelkavorn_layers.cmake)
  file(CONFIGURE OUTPUT ${map_file} CONTENT "${map}")

  set(globs)
  foreach(folder ${PELKAVORN_PROGRAM_FOLDERS})
    list(APPEND globs ${root}/${folder}/*.h ${root}/${folder}/*.cpp)
  endforeach()
  file(GLOB program_files CONFIGURE_DEPENDS ${globs})
  set(stamp ${CMAKE_BINARY_DIR}/pelkavorn_layers.checked)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DROOT=${root} -DMAP=${map_file} -DSTAMP=${stamp}
            "-DFOLDERS=${PELKAVORN_PROGRAM_FOLDERS}" -P ${root}/cmake/check_layers.cmake
    DEPENDS ${program_files} ${map_file} ${root}/cmake/check_layers.cmake
    COMMENT "Checking the program's includes against its layers"
    VERBATIM)
  add_custom_target(pelkavorn_layer_check DEPENDS ${stamp})

  set(libraries)
  foreach(layer ${PELKAVORN_LAYERS})
    set(sources)
    foreach(file ${PELKAVORN_LAYER_${layer}_FILES})
      if(file MATCHES "\\.cpp$")
        list(APPEND sources ${root}/${file})
      endif()
    endforeach()
    set(lower)
    foreach(used ${PELKAVORN_LAYER_${layer}_USES})
      list(APPEND lower pelkavorn_${used})
    endforeach()
    add_library(pelkavorn_${layer} STATIC ${sources})
    target_include_directories(pelkavorn_${layer} PUBLIC ${root})
    target_link_libraries(pelkavorn_${layer} PUBLIC ${lower} ${platform_libs})
    add_dependencies(pelkavorn_${layer} pelkavorn_layer_check)
    list(APPEND libraries pelkavorn_${layer})
  endforeach()
  set(PELKAVORN_LAYER_LIBRARIES ${libraries} PARENT_SCOPE)
endfunction()

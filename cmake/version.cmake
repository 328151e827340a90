# The program's version is written once, in the project() line of the top CMakeLists.txt. This
# makes the header the tooltip and the version resource take it from, for every build that
# compiles the program (the presets, and the fuzz build, which is a project of its own).
function(pelkavorn_version_header root out_dir)
  file(STRINGS ${root}/CMakeLists.txt line REGEX "^project\\(pelkavorn VERSION ")
  if(NOT line MATCHES "VERSION ([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)")
    message(FATAL_ERROR "no four-part version in the project() line of ${root}/CMakeLists.txt")
  endif()
  set(text "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3}.${CMAKE_MATCH_4}")
  set(commas "${CMAKE_MATCH_1}, ${CMAKE_MATCH_2}, ${CMAKE_MATCH_3}, ${CMAKE_MATCH_4}")
  file(CONFIGURE OUTPUT ${out_dir}/pelkavorn_version.h CONTENT
"// Made by cmake/version.cmake from the project() line of CMakeLists.txt; not to be edited.
#pragma once
#define PELKAVORN_VERSION_TEXT \"${text}\"
#define PELKAVORN_VERSION_COMMAS ${commas}
")
endfunction()

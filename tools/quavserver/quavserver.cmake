# The stand-in server, quavserver.exe (Windows build).
#
# tolvane_add_quavserver(target VERSION a b c d)
#   Builds quavserver.exe into <binary dir>/<target>/ with the FileVersion "a, b, c, d".
#   The package carries the target `quavserver` (1, 0, 7, 0); tests that need another
#   installed version build their own.

function(tolvane_add_quavserver target)
  cmake_parse_arguments(Q "" "" "VERSION" ${ARGN})
  list(LENGTH Q_VERSION n)
  if(NOT n EQUAL 4)
    message(FATAL_ERROR "tolvane_add_quavserver(${target}): VERSION needs four numbers")
  endif()
  list(GET Q_VERSION 0 QUAV_V1)
  list(GET Q_VERSION 1 QUAV_V2)
  list(GET Q_VERSION 2 QUAV_V3)
  list(GET Q_VERSION 3 QUAV_V4)
  set(QUAV_FILEVERSION "${QUAV_V1}, ${QUAV_V2}, ${QUAV_V3}, ${QUAV_V4}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}/quavserver.rc)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/quavserver.rc.in ${rc} @ONLY)
  add_executable(${target} WIN32 ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/main.cpp ${rc})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME quavserver
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${target})
  # No time stamp in the image: the same sources give the same bytes.
  target_link_options(${target} PRIVATE -municode -s -Wl,--no-insert-timestamp)
  target_link_libraries(${target} PRIVATE ws2_32 shell32)
endfunction()

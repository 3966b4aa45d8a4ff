# The package the setup program carries (Windows build): builds quavserver.exe, generates
# the stand-in product around it with the host generator, and packs it with the host
# tolvane-pack into manifest.bin (RCDATA 218) and payload.bin (RCDATA 219).
#
# Provides
#   tolvane_package_rc       OBJECT library holding the resources 218 and 219 of the
#                            package; linking it directly brings its objects into the
#                            program (through an INTERFACE library, add
#                            $<TARGET_OBJECTS:...> there, as resources/ does)
#   TOLVANE_PACKAGE_DIR      folder with manifest.bin, payload.bin, product/ and order.txt
#   tolvane_add_package_rc(name MANIFEST file PAYLOAD file [DEPENDS targets...])
#                            another such OBJECT library, e.g. for test programs with a
#                            damaged package.
include(${TOLVANE_ROOT}/tools/quavserver/quavserver.cmake)

set(TOLVANE_PAYLOAD_KEY "5B2E9D13A7C4F068" CACHE STRING
    "DES key of the package payload: 16 hex digits, not all zero")
set(TOLVANE_SAMPLE_PRODUCT "${TOLVANE_HOST_BIN}/tools/sample_product/tolvane-sample-product" CACHE FILEPATH
    "host program that generates the stand-in product")
if(NOT TOLVANE_PACK)
  message(FATAL_ERROR "the Windows build needs -DTOLVANE_PACK=<host tolvane-pack>")
endif()

# The server's FileVersion a, b, c, d gives the package version a * 256 + c.
set(TOLVANE_SERVER_VERSION 1 0 7 0)
list(GET TOLVANE_SERVER_VERSION 0 _major)
list(GET TOLVANE_SERVER_VERSION 2 _minor)
math(EXPR TOLVANE_PACKAGE_VERSION "${_major} * 256 + ${_minor}")
tolvane_add_quavserver(quavserver VERSION ${TOLVANE_SERVER_VERSION})
set(TOLVANE_QUAVSERVER_EXE ${CMAKE_CURRENT_BINARY_DIR}/quavserver/quavserver.exe CACHE INTERNAL "")

function(tolvane_add_package_rc name)
  cmake_parse_arguments(P "" "MANIFEST;PAYLOAD" "DEPENDS" ${ARGN})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
  file(WRITE ${rc}.in "218 RCDATA \"${P_MANIFEST}\"\n219 RCDATA \"${P_PAYLOAD}\"\n")
  configure_file(${rc}.in ${rc} COPYONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${P_MANIFEST};${P_PAYLOAD}")
  add_library(${name} OBJECT ${rc})
  if(P_DEPENDS)
    add_dependencies(${name} ${P_DEPENDS})
  endif()
endfunction()

# Makes one package into dir. Two of them, made the same way, must agree byte for byte.
function(_tolvane_make_package dir target)
  add_custom_command(
    OUTPUT ${dir}/manifest.bin ${dir}/payload.bin
    COMMAND ${TOLVANE_SAMPLE_PRODUCT} $<TARGET_FILE:quavserver> ${dir}/product ${dir}/order.txt
    COMMAND ${TOLVANE_PACK} build ${dir}/product --version ${TOLVANE_PACKAGE_VERSION}
            --key ${TOLVANE_PAYLOAD_KEY} -o ${dir} --order ${dir}/order.txt
    DEPENDS quavserver ${TOLVANE_SAMPLE_PRODUCT} ${TOLVANE_PACK}
    COMMENT "Packing the stand-in product into ${dir}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${dir}/manifest.bin ${dir}/payload.bin)
endfunction()

set(TOLVANE_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package_data CACHE INTERNAL "")
_tolvane_make_package(${TOLVANE_PACKAGE_DIR} tolvane_package_data)
_tolvane_make_package(${CMAKE_BINARY_DIR}/package_data_again tolvane_package_data_again)
tolvane_add_package_rc(tolvane_package_rc
  MANIFEST ${TOLVANE_PACKAGE_DIR}/manifest.bin PAYLOAD ${TOLVANE_PACKAGE_DIR}/payload.bin
  DEPENDS tolvane_package_data)

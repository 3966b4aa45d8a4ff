# Test helpers shared by every folder.
#
# tolvane_add_gtest(name SOURCES a.cpp b.cpp LIBS lib... [WINE_ARCHES win32 win64] [LABELS l...])
#   Builds a GoogleTest program and registers it with ctest. Host tests are named
#   host_<name>; Windows-side tests win_<name> (win32 prefix) and win64_<name> (win64
#   prefix, when WINE_ARCHES names it). Windows-side tests need the Wine bench fixture.
function(tolvane_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;WINE_ARCHES;LABELS" ${ARGN})
  set(exe test_${name})
  add_executable(${exe} ${T_SOURCES})
  target_link_libraries(${exe} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  if(TOLVANE_WIN)
    if(NOT T_WINE_ARCHES)
      set(T_WINE_ARCHES win32)
    endif()
    foreach(arch IN LISTS T_WINE_ARCHES)
      if(arch STREQUAL "win32")
        set(tname win_${name})
      else()
        set(tname ${arch}_${name})
      endif()
      add_test(NAME ${tname}
               COMMAND ${TOLVANE_ROOT}/scripts/wine-bench.sh run --root ${TOLVANE_WINE_ROOT} --arch ${arch}
                       $<TARGET_FILE:${exe}>)
      set_tests_properties(${tname} PROPERTIES FIXTURES_REQUIRED wine_bench LABELS "wine;${T_LABELS}"
                           RESOURCE_LOCK wine_${arch} TIMEOUT 600)
    endforeach()
  else()
    add_test(NAME host_${name} COMMAND ${exe})
    set_tests_properties(host_${name} PROPERTIES LABELS "host;${T_LABELS}" TIMEOUT 600)
  endif()
endfunction()

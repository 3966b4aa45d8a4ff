# Test helpers shared by every folder.
#
# In the x86_64 Windows tree (TOLVANE_WIN64_TESTS, a test build for machines that run no
# 32-bit code) every Windows-side test runs once, in a win64 prefix, whatever prefix kinds
# it names; its name starts with x64_ and it is labelled wine64 instead of wine, so that
# ctest can hold both Windows trees and leave out either. Fixtures are named apart the
# same way. Explicit registrations use these three variables.
if(TOLVANE_WIN64_TESTS)
  set(TOLVANE_TEST_PREFIX x64_)
  set(TOLVANE_WINE_LABEL wine64)
else()
  set(TOLVANE_TEST_PREFIX "")
  set(TOLVANE_WINE_LABEL wine)
endif()
set(TOLVANE_WINE_FIXTURE ${TOLVANE_TEST_PREFIX}wine_bench)
# Where the kernel runs no 32-bit code (TOLVANE_LANE, set by scripts/test.sh), the product
# tree's tests labelled wine run in the lane's guest (scripts/guest.sh) under their own
# names: each of their commands starts with TOLVANE_WINE_LAUNCH, which is empty otherwise.
# Resource locks are named per tree, since the guest's display and prefixes are not the
# host's.
set(TOLVANE_WINE_LAUNCH "")
if(TOLVANE_LANE AND NOT TOLVANE_WIN64_TESTS)
  set(TOLVANE_WINE_LAUNCH ${TOLVANE_ROOT}/scripts/guest.sh exec --state ${TOLVANE_HOST_BIN}/guest
                          --share ${TOLVANE_HOST_BIN} --)
endif()
#
# tolvane_add_gtest(name SOURCES a.cpp b.cpp LIBS lib... [WINE_ARCHES win32 win64] [LABELS l...]
#                   [WINE_ARGS arg...])
#   Builds a GoogleTest program and registers it with ctest. Host tests are named
#   host_<name>; Windows-side tests win_<name> (win32 prefix) and win64_<name> (win64
#   prefix, when WINE_ARCHES names it), or x64_<name> in the x86_64 tree. Windows-side
#   tests need the Wine bench fixture, and get WINE_ARGS on their command line.
#   test_<name>_TESTS lists the tests registered.
function(tolvane_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;WINE_ARCHES;LABELS;WINE_ARGS" ${ARGN})
  set(exe test_${name})
  add_executable(${exe} ${T_SOURCES})
  target_link_libraries(${exe} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  if(TOLVANE_WIN)
    if(NOT T_WINE_ARCHES)
      set(T_WINE_ARCHES win32)
    endif()
    if(TOLVANE_WIN64_TESTS)
      set(T_WINE_ARCHES win64)
    endif()
    set(names "")
    foreach(arch IN LISTS T_WINE_ARCHES)
      if(TOLVANE_WIN64_TESTS)
        set(tname x64_${name})
      elseif(arch STREQUAL "win32")
        set(tname win_${name})
      else()
        set(tname ${arch}_${name})
      endif()
      add_test(NAME ${tname}
               COMMAND ${TOLVANE_WINE_LAUNCH} ${TOLVANE_ROOT}/scripts/wine-bench.sh run --root ${TOLVANE_WINE_ROOT} --arch ${arch}
                       $<TARGET_FILE:${exe}> ${T_WINE_ARGS})
      set_tests_properties(${tname} PROPERTIES FIXTURES_REQUIRED ${TOLVANE_WINE_FIXTURE}
                           LABELS "${TOLVANE_WINE_LABEL};${T_LABELS}" RESOURCE_LOCK ${TOLVANE_TEST_PREFIX}wine_${arch} TIMEOUT 600)
      list(APPEND names ${tname})
    endforeach()
    set(${exe}_TESTS ${names} PARENT_SCOPE)
  else()
    add_test(NAME host_${name} COMMAND ${exe})
    set_tests_properties(host_${name} PROPERTIES LABELS "host;${T_LABELS}" TIMEOUT 600)
  endif()
endfunction()

# tolvane_add_e2e(name SOURCES a.cpp ... [LIBS lib...] [SETUP target] [WINE_ARCHES win32 win64]
#                 [LOCALES LANG=CODEPAGE ...] [CAPTURE_STDERR])
#   An end-to-end GoogleTest program (Windows build only) that starts a setup executable
#   (target `setup` unless SETUP names another) and drives it. It runs once per Wine
#   architecture, each time in a prefix made afresh for it (e2e-<name>-<arch>), and holds
#   the display lock: windows of two tests on one display would cover each other.
#   The program finds the setup executable in TOLVANE_SETUP_EXE and keeps its
#   screenshots in TOLVANE_SHOT_DIR (<build>/screenshots/<arch>). CAPTURE_STDERR sends
#   the Unix standard error of the program, and so of what it starts (Wine's debug
#   output goes there), to a file named in TOLVANE_STDERR_LOG (<build>/e2e-logs/).
#   LOCALES runs it once per locale instead (e.g. en_US.UTF-8=1252: Wine's locale, and the
#   ANSI code page it gives, in TOLVANE_EXPECTED_ACP), as e2e-<name>-<arch>-<locale>.
#   The x86_64 tree names its single run x64_e2e_<name>[_<locale>], screenshots in
#   screenshots/x64. e2e_<name>_TESTS lists the tests registered.
function(tolvane_add_e2e name)
  cmake_parse_arguments(T "CAPTURE_STDERR" "SETUP" "SOURCES;LIBS;WINE_ARCHES;LABELS;LOCALES" ${ARGN})
  if(NOT TOLVANE_WIN)
    return()
  endif()
  if(NOT T_SETUP)
    set(T_SETUP setup)
  endif()
  if(NOT T_WINE_ARCHES)
    set(T_WINE_ARCHES win32 win64)
  endif()
  if(TOLVANE_WIN64_TESTS)
    set(T_WINE_ARCHES win64)
  endif()
  set(exe e2e_${name})
  add_executable(${exe} ${T_SOURCES})
  target_link_libraries(${exe} PRIVATE ${T_LIBS} tolvane_drive GTest::gtest_main GTest::gmock)
  add_dependencies(${exe} ${T_SETUP})
  if(NOT T_LOCALES)
    set(T_LOCALES bench)  # one run in the bench's own locale
  endif()
  set(names "")
  foreach(arch IN LISTS T_WINE_ARCHES)
    foreach(locale IN LISTS T_LOCALES)
      if(TOLVANE_WIN64_TESTS)
        set(tname x64_e2e_${name})
        set(shots x64)
      else()
        set(tname e2e_${arch}_${name})
        set(shots ${arch})
      endif()
      set(prefix e2e-${name}-${arch})
      set(env "")
      if(NOT locale STREQUAL "bench")
        string(REGEX REPLACE "=.*" "" lang "${locale}")
        string(REGEX REPLACE ".*=" "" acp "${locale}")
        string(REGEX REPLACE "\\..*" "" short "${lang}")
        string(APPEND tname _${short})
        string(APPEND prefix -${short})
        string(APPEND shots -${short})
        set(env "TOLVANE_WINE_LANG=${lang};TOLVANE_EXPECTED_ACP=${acp}")
      endif()
      set(run ${TOLVANE_ROOT}/scripts/wine-bench.sh run --root ${TOLVANE_WINE_ROOT} --arch ${arch}
              --prefix ${prefix} --fresh $<TARGET_FILE:${exe}>)
      set(log "")
      if(T_CAPTURE_STDERR)
        set(log ${CMAKE_BINARY_DIR}/e2e-logs/${name}-${arch}.log)
        file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/e2e-logs)
        set(run /bin/sh -c "exec \"$@\" 2>\"$0\"" ${log} ${run})
      endif()
      add_test(NAME ${tname} COMMAND ${TOLVANE_WINE_LAUNCH} ${run})
      list(APPEND names ${tname})
      set_tests_properties(${tname} PROPERTIES
        FIXTURES_REQUIRED ${TOLVANE_WINE_FIXTURE}
        RESOURCE_LOCK ${TOLVANE_TEST_PREFIX}display
        LABELS "${TOLVANE_WINE_LABEL};e2e;${T_LABELS}"
        TIMEOUT 600
        SKIP_RETURN_CODE 77
        ENVIRONMENT "TOLVANE_SETUP_EXE=$<TARGET_FILE:${T_SETUP}>;TOLVANE_SHOT_DIR=${CMAKE_BINARY_DIR}/screenshots/${shots};TOLVANE_STDERR_LOG=${log};${env}")
    endforeach()
  endforeach()
  set(${exe}_TESTS ${names} PARENT_SCOPE)
endfunction()

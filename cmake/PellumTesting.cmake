# pellum_gtest(<name> LABELS <label>... SOURCES <file>... [LIBS <target>...]
#              [ARGS <argument>...])
# Builds one GoogleTest program and registers it with CTest under its labels
# (unit, integration, gui, fuzz); ARGS go to the program's command line.
find_package(GTest REQUIRED)

function(pellum_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LABELS;SOURCES;LIBS;ARGS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  # The shared fakes: #include "support/..."
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock ${ARG_LIBS})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND ${name} ${ARG_ARGS})
  set(lsan "suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan-third-party.supp:print_suppressions=0")
  if("gui" IN_LIST ARG_LABELS)
    # Qt's platform plugins have no frame pointers: unwind the slow way, a
    # few frames deep, so the suppressions see where a plugin allocated.
    string(APPEND lsan ":fast_unwind_on_malloc=0:malloc_context_size=8")
  endif()
  # Nothing here draws with OpenGL. Qt's GLX integration would load Mesa's
  # software driver only to pick a visual and unload it before the exit,
  # and the driver's one-time allocations then show as leaks of a library
  # that is gone, which no suppression can name.
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "LSAN_OPTIONS=${lsan};QT_XCB_GL_INTEGRATION=none")
endfunction()

# pellum_benchmark(<name> SOURCES <file>... [LIBS <target>...])
# Benchmarks are built with everything else but never run by CTest.
function(pellum_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE benchmark::benchmark ${ARG_LIBS})
endfunction()

# Adds every folder below the calling folder that has a CMakeLists.txt.
function(pellum_add_child_folders)
  file(GLOB_RECURSE lists RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt)
  list(SORT lists)
  foreach(l ${lists})
    get_filename_component(d ${l} DIRECTORY)
    # Only the nearest folder with a CMakeLists.txt; it adds its own children.
    set(nested FALSE)
    foreach(other ${lists})
      get_filename_component(od ${other} DIRECTORY)
      if(NOT od STREQUAL d AND d MATCHES "^${od}/")
        set(nested TRUE)
      endif()
    endforeach()
    if(NOT nested)
      add_subdirectory(${d})
    endif()
  endforeach()
endfunction()

# pellum_run_on_xvfb(<test target>)
# Runs a test program on its own Xvfb server with the xcb platform (test.sh
# exports the offscreen platform for every other widget test). Such tests
# take turns: servers started at the same moment can pick the same display.
function(pellum_run_on_xvfb name)
  set_target_properties(${name} PROPERTIES
    CROSSCOMPILING_EMULATOR "xvfb-run;-a;-s;-screen 0 1280x1024x24")
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT QT_QPA_PLATFORM=xcb)
  set_property(TEST ${name} PROPERTY RESOURCE_LOCK xvfb)
endfunction()

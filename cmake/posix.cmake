# POSIX build: the platform backend, libquodra.so, the command-line tool and
# the tests.
find_package(Threads REQUIRED)

file(GLOB QUODRA_POSIX_SOURCES CONFIGURE_DEPENDS src/platform/posix/*.cpp)
add_library(quodra_posix STATIC ${QUODRA_POSIX_SOURCES})
target_include_directories(quodra_posix PUBLIC src)
target_link_libraries(quodra_posix PUBLIC Threads::Threads)

# The shared library exports the ten calls and the window procedure only.
add_library(quodra SHARED ${QUODRA_API_SOURCES})
set_target_properties(quodra PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION 2
  LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/api/exports.version)
target_link_libraries(quodra PRIVATE
  -Wl,--whole-archive quodra_core quodra_posix -Wl,--no-whole-archive
  Threads::Threads
  -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/src/api/exports.version)
target_include_directories(quodra PUBLIC include PRIVATE src)

# The tool uses the library's public calls only; its result meanings come
# from httpResultText.
add_executable(quodra_cli cli/quodra.cpp)
set_target_properties(quodra_cli PROPERTIES OUTPUT_NAME quodra)
target_link_libraries(quodra_cli PRIVATE quodra)

include(GNUInstallDirs)
install(TARGETS quodra quodra_cli
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/quodra.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The prefix is found from where the file lies, so an install with
# --prefix (or a copied tree) still points at itself.
file(RELATIVE_PATH QUODRA_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/quodra.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quodra.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quodra.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(QUODRA_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()

# Throughput measurements; run by hand: build/bench_throughput [MiB]
add_executable(bench_throughput bench/throughput.cpp)
target_link_libraries(bench_throughput PRIVATE quodra Threads::Threads)

if(QUODRA_TESTS)
  add_test(NAME library_exports
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/cli/exports_test.sh $<TARGET_FILE:quodra>)
  add_test(NAME command_line_tool
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/cli/quodra_tool_test.sh
            $<TARGET_FILE:quodra_cli> $<TARGET_FILE:quodra_peer>)
  add_test(NAME readme_examples
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/cli/examples_test.sh ${CMAKE_CURRENT_SOURCE_DIR})
  set_tests_properties(library_exports command_line_tool readme_examples
    PROPERTIES LABELS cli TIMEOUT 120)
  # A plain C program cannot load a sanitized library (the sanitizer runtime
  # must come first), so the installed tree is tried in the plain build only.
  if(NOT QUODRA_SANITIZE)
    add_test(NAME installed_tree
      COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/cli/install_test.sh ${CMAKE_BINARY_DIR})
    set_tests_properties(installed_tree PROPERTIES LABELS cli TIMEOUT 120)
  endif()
endif()

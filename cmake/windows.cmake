# Windows build: the platform backend and quodra.dll, which needs nothing but
# system DLLs (the C and C++ runtimes of the compiler are linked in). The
# GoogleTest suites run on the build machine only; the one Windows test is
# the host program in tests/windows, which loads the DLL and runs real calls.

file(GLOB QUODRA_WIN_SOURCES CONFIGURE_DEPENDS src/platform/win/*.cpp)
add_library(quodra_win STATIC ${QUODRA_WIN_SOURCES})
target_include_directories(quodra_win PUBLIC src)
target_link_libraries(quodra_win PUBLIC ws2_32)

set(QUODRA_DEF ${CMAKE_CURRENT_SOURCE_DIR}/src/api/quodra.def)
add_library(quodra SHARED ${QUODRA_API_SOURCES} ${QUODRA_DEF})
set_target_properties(quodra PROPERTIES
  PREFIX "" OUTPUT_NAME quodra
  LINK_DEPENDS ${QUODRA_DEF})
target_include_directories(quodra PUBLIC include PRIVATE src)
# Whole archives: DllMain must come from the backend, not from the runtime's
# default, and NetWndProc must be there for the export definition.
target_link_libraries(quodra PRIVATE
  -Wl,--whole-archive quodra_core quodra_win -Wl,--no-whole-archive
  ws2_32)
target_link_options(quodra PRIVATE -static -static-libgcc -static-libstdc++)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The export definition names the calls undecorated; the linker matches each
  # to its stdcall symbol (_httpGet@12) and says so unless told it is meant.
  target_link_options(quodra PRIVATE -Wl,--enable-stdcall-fixup)
  # The import library the linker would write names _httpGet, which no
  # stdcall caller references; this one maps _httpGet@12 to the export
  # httpGet. The decoration is the bytes of arguments, four per parameter.
  set(QUODRA_STDCALL_ARGS
    httpGet 3 httpHead 3 httpPostFile 4 davOptions 3 davMkcol 3
    davPropfind 5 davPut 4 davDelete 3 davMove 6 davCopy 6 NetWndProc 4
    httpLastStatus 0 httpLastHead 2 httpLastError 0 httpResultText 3
    httpSetOption 2)
  set(def "LIBRARY quodra.dll\nEXPORTS\n")
  set(ordinal 1)
  while(QUODRA_STDCALL_ARGS)
    list(POP_FRONT QUODRA_STDCALL_ARGS name count)
    math(EXPR bytes "${count} * 4")
    string(APPEND def "  ${name}@${bytes} @${ordinal}\n")
    math(EXPR ordinal "${ordinal} + 1")
  endwhile()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/quodra-stdcall.def "${def}")
  find_program(QUODRA_DLLTOOL NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool dlltool REQUIRED)
  add_custom_command(TARGET quodra POST_BUILD
    COMMAND ${QUODRA_DLLTOOL} -k -D quodra.dll
            -d ${CMAKE_CURRENT_BINARY_DIR}/quodra-stdcall.def
            -l $<TARGET_LINKER_FILE:quodra>
    COMMENT "Import library for stdcall callers")
endif()

if(QUODRA_TESTS)
  add_executable(quodra_host tests/windows/host.cpp)
  set_target_properties(quodra_host PROPERTIES OUTPUT_NAME host)
  target_include_directories(quodra_host PRIVATE include)
  target_link_options(quodra_host PRIVATE -static -static-libgcc -static-libstdc++)
  add_dependencies(quodra_host quodra)
endif()
# Only the host above is built for Windows.
set(QUODRA_TESTS OFF)

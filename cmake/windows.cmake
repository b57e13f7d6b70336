# Windows build: the platform backend and quodra.dll, which needs nothing but
# system DLLs (the C and C++ runtimes of the compiler are linked in). The
# GoogleTest suites run on the build machine only; the one Windows test is
# the host program in tests/windows, which loads the DLL and runs real calls.

# The backend, listed file by file: a file left in the folder joins nothing.
# The files directly in src/platform/ are shared with the POSIX backend.
add_library(quodra_win OBJECT
  src/platform/activity_text.cpp
  src/platform/cert_failure.cpp
  src/platform/beside_name.cpp
  src/platform/cert_names.cpp
  src/platform/inet.cpp
  src/platform/secure_link.cpp
  src/platform/system_address.cpp
  src/platform/win/address.cpp
  src/platform/win/bulk.cpp
  src/platform/win/errors.cpp
  src/platform/win/environment.cpp
  src/platform/win/files.cpp
  src/platform/win/lookups.cpp
  src/platform/win/messages.cpp
  src/platform/win/msgbox.cpp
  src/platform/win/numbers.cpp
  src/platform/win/random.cpp
  src/platform/win/schannel_engine.cpp
  src/platform/win/sockets.cpp
  src/platform/win/startup.cpp
  src/platform/win/timers.cpp
  src/platform/win/tls.cpp
  src/platform/win/tls_check.cpp
  src/platform/win/windows.cpp)
target_include_directories(quodra_win PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/src>)
# TLS through SChannel (secur32) and the system's certificate store
# (crypt32), the form boundary from the system's random source (advapi32):
# system DLLs, like the rest.
target_link_libraries(quodra_win PUBLIC ws2_32 advapi32 secur32 crypt32)
quodra_target_options(quodra_win)

# Linked as objects, DllMain comes from src/api/dllmain_win.cpp rather than
# the runtime's default, and NetWndProc is there for the export definition.
set(QUODRA_DEF ${QUODRA_GENERATED}/quodra.def)
target_sources(quodra PRIVATE ${QUODRA_DEF})

# The version resource: product, version and description in the file's
# properties, for each of the two builds.
enable_language(RC)
math(EXPR QUODRA_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
configure_file(cmake/quodra_version.rc.in ${QUODRA_GENERATED}/quodra_version.rc @ONLY)
target_sources(quodra PRIVATE ${QUODRA_GENERATED}/quodra_version.rc)
target_link_libraries(quodra PRIVATE quodra_win)
set_target_properties(quodra PROPERTIES
  PREFIX "" OUTPUT_NAME quodra
  LINK_DEPENDS ${QUODRA_DEF})
target_link_options(quodra PRIVATE -static -static-libgcc -static-libstdc++)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The export definition names the calls undecorated; the linker matches each
  # to its stdcall symbol (_httpGet@12) and says so unless told it is meant.
  target_link_options(quodra PRIVATE -Wl,--enable-stdcall-fixup)
  # The import library the linker would write names _httpGet, which no
  # stdcall caller references; this one, made from the export list, maps
  # _httpGet@12 to the export httpGet.
  find_program(QUODRA_DLLTOOL NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool dlltool REQUIRED)
  add_custom_command(TARGET quodra POST_BUILD
    COMMAND ${QUODRA_DLLTOOL} -k -D quodra.dll
            -d ${QUODRA_GENERATED}/quodra-stdcall.def
            -l $<TARGET_LINKER_FILE:quodra>
    COMMENT "Import library for stdcall callers")
endif()

# ---- the Windows install tree and its zip -------------------------------------
# Beside the library, its header, import library and CMake package (see the
# top-level install rules), a Windows tree ships what BASIC and C hosts
# use: the BASIC module and its worked example, the C examples, and the
# README's Windows section. The 32-bit build's tree (the one that ships)
# also takes the 64-bit twin's DLL and import library, under x64/, when
# QUODRA_WIN64_BUILD names that build; `cpack -G ZIP` in the 32-bit build
# folder then packs the whole tree.
set(QUODRA_WIN64_BUILD "" CACHE PATH
    "The 64-bit build whose DLL and import library the 32-bit tree ships under x64/")
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND QUODRA_WIN64_BUILD)
  install(FILES ${QUODRA_WIN64_BUILD}/quodra.dll DESTINATION ${CMAKE_INSTALL_BINDIR}/x64)
  install(FILES ${QUODRA_WIN64_BUILD}/libquodra.dll.a DESTINATION ${CMAKE_INSTALL_LIBDIR}/x64)
endif()
install(FILES examples/quodra.bas examples/progress.bas examples/fetch.c
              examples/fetch_runtime.c examples/progress.c
        DESTINATION ${CMAKE_INSTALL_DATADIR}/quodra/examples)

# The README's Windows section, from its heading to the next one of its level.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/README.md QUODRA_README)
string(FIND "${QUODRA_README}" "\n## Windows" QUODRA_WIN_AT)
if(QUODRA_WIN_AT LESS 0)
  message(FATAL_ERROR "README.md has no \"## Windows\" section to ship")
endif()
math(EXPR QUODRA_WIN_AT "${QUODRA_WIN_AT} + 1")
string(SUBSTRING "${QUODRA_README}" ${QUODRA_WIN_AT} -1 QUODRA_WIN_TEXT)
string(FIND "${QUODRA_WIN_TEXT}" "\n## " QUODRA_WIN_END)
if(QUODRA_WIN_END GREATER 0)
  math(EXPR QUODRA_WIN_END "${QUODRA_WIN_END} + 1")
  string(SUBSTRING "${QUODRA_WIN_TEXT}" 0 ${QUODRA_WIN_END} QUODRA_WIN_TEXT)
endif()
file(WRITE ${QUODRA_GENERATED}/README-windows.md "${QUODRA_WIN_TEXT}")
install(FILES ${QUODRA_GENERATED}/README-windows.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME quodra-${PROJECT_VERSION}-windows)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)

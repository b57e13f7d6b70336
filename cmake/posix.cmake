# POSIX build: the platform backend, libquodra.so and its pkg-config file
# (the command-line tool is in cli/, the benchmarks in bench/).
find_package(Threads REQUIRED)
# TLS for https URLs: OpenSSL 3 (Debian: libssl-dev). Only its headers are
# used here: the backend opens libssl.so.3 and libcrypto.so.3 at the first
# https call, so a process that never makes one never loads them.
find_package(OpenSSL 3 REQUIRED)
# dlopen is in libc from glibc 2.34 on; an older C library needs libdl.
include(CheckSymbolExists)
check_symbol_exists(dlopen dlfcn.h QUODRA_DLOPEN_IN_LIBC)

# The backend, listed file by file: a file left in the folder joins nothing.
# The files directly in src/platform/ are shared with the Windows backend.
add_library(quodra_posix OBJECT
  src/platform/activity_text.cpp
  src/platform/cert_failure.cpp
  src/platform/beside_name.cpp
  src/platform/inet.cpp
  src/platform/secure_link.cpp
  src/platform/system_address.cpp
  src/platform/posix/activity.cpp
  src/platform/posix/address.cpp
  src/platform/posix/bulk.cpp
  src/platform/posix/environment.cpp
  src/platform/posix/errors.cpp
  src/platform/posix/events.cpp
  src/platform/posix/files.cpp
  src/platform/posix/lookups.cpp
  src/platform/posix/messages.cpp
  src/platform/posix/msgbox.cpp
  src/platform/posix/openssl_api.cpp
  src/platform/posix/openssl_engine.cpp
  src/platform/posix/random.cpp
  src/platform/posix/sigpipe.cpp
  src/platform/posix/sockets.cpp
  src/platform/posix/startup.cpp
  src/platform/posix/thread.cpp
  src/platform/posix/timers.cpp
  src/platform/posix/tls.cpp
  src/platform/posix/windows.cpp)
target_include_directories(quodra_posix PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/src>)
target_include_directories(quodra_posix PRIVATE ${OPENSSL_INCLUDE_DIR})
target_link_libraries(quodra_posix PUBLIC Threads::Threads)
if(NOT QUODRA_DLOPEN_IN_LIBC)
  target_link_libraries(quodra_posix PUBLIC ${CMAKE_DL_LIBS})
endif()
quodra_target_options(quodra_posix)

# libquodra.so exports the calls of the export list and nothing else.
set(QUODRA_VERSION_SCRIPT ${QUODRA_GENERATED}/exports.version)
target_link_libraries(quodra PRIVATE quodra_posix)
target_link_options(quodra PRIVATE -Wl,--version-script=${QUODRA_VERSION_SCRIPT})
set_target_properties(quodra PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
  LINK_DEPENDS ${QUODRA_VERSION_SCRIPT})

# The prefix is found from where the file lies, so an install with
# --prefix (or a moved tree) still points at itself.
file(RELATIVE_PATH QUODRA_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/quodra.pc.in ${QUODRA_GENERATED}/quodra.pc @ONLY)
install(FILES ${QUODRA_GENERATED}/quodra.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

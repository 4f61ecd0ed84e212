# The libraries that the Linux build takes from Debian's packages and Debian
# has no MinGW builds of: SQLite, cpp-httplib and libmosquitto, compiled for
# this toolchain from the Debian source packages of the same versions, which
# scripts/fetch-windows-sources.sh (setup's ci group) keeps in a cache.
#
#   qdx_sqlite3     the amalgamation sqlite3.c; include <sqlite3.h>
#   qdx_httplib     cpp-httplib split as Debian builds it (declarations in
#                   <httplib.h>, the code compiled once here); no TLS
#   qdx_mosquitto   libmosquitto's lib/*.c, threaded on winpthreads; no TLS
#                   (Debian has no MinGW OpenSSL); include <mosquitto.h>
#
# Static libraries in the build tree, each built once and only when something
# links it. qdxpoll takes them where Linux takes the packages' targets:
#   target_link_libraries(qdxpoll PRIVATE qdx_sqlite3)   # for SQLite::SQLite3
#   target_link_libraries(qdxpoll PRIVATE qdx_httplib)   # PkgConfig::QDXPOLL_HTTPLIB
#   target_link_libraries(qdxpoll PRIVATE qdx_mosquitto) # PkgConfig::QDXPOLL_MOSQUITTO
# Each carries its include folder, its definitions and its Windows libraries.
# Where the sources are missing none is defined (QDX_WINDOWS_LIBRARIES OFF).

set(QDX_WINDOWS_SOURCES /var/cache/qdxtlmv/sources CACHE PATH
  "Debian sources of SQLite, cpp-httplib and mosquitto (scripts/fetch-windows-sources.sh)")

set(qdx_sqlite_dir ${QDX_WINDOWS_SOURCES}/sqlite3)
set(qdx_httplib_dir ${QDX_WINDOWS_SOURCES}/cpp-httplib/split)
set(qdx_mosquitto_dir ${QDX_WINDOWS_SOURCES}/mosquitto)
set(qdx_windows_missing "")
foreach(file ${QDX_WINDOWS_SOURCES}/sqlite3.version ${QDX_WINDOWS_SOURCES}/mosquitto.version
             ${qdx_sqlite_dir}/sqlite3.c ${qdx_httplib_dir}/httplib.cc
             ${qdx_mosquitto_dir}/lib/mosquitto.c ${qdx_mosquitto_dir}/include/mosquitto.h)
  if(NOT EXISTS ${file})
    list(APPEND qdx_windows_missing ${file})
  endif()
endforeach()

if(qdx_windows_missing)
  message(STATUS "Windows libraries: SQLite, cpp-httplib and libmosquitto not built (no sources in ${QDX_WINDOWS_SOURCES}: run scripts/fetch-windows-sources.sh)")
  set(QDX_WINDOWS_LIBRARIES OFF CACHE INTERNAL "SQLite, cpp-httplib and libmosquitto are built for Windows")
  return()
endif()
set(QDX_WINDOWS_LIBRARIES ON CACHE INTERNAL "SQLite, cpp-httplib and libmosquitto are built for Windows")
find_package(Threads REQUIRED)

# The upstream versions (Debian's without its revision), as the libraries
# report them.
foreach(name sqlite3 mosquitto)
  file(STRINGS ${QDX_WINDOWS_SOURCES}/${name}.version qdx_version LIMIT_COUNT 1)
  string(REGEX REPLACE "(\\+ds)?-[^-]*$" "" qdx_version "${qdx_version}")
  string(TOUPPER ${name} upper)
  set(QDX_${upper}_VERSION ${qdx_version})
endforeach()

# Their own code, as upstream and Debian ship it: its warnings are theirs.
set(qdx_foreign_options -w)

# SQLite, with those options of Debian's build (its debian/rules) that change
# what SQL does or how a file is written; not those that need a regenerated
# parser, and no extension loading in a static program.
add_library(qdx_sqlite3 STATIC EXCLUDE_FROM_ALL ${qdx_sqlite_dir}/sqlite3.c)
target_include_directories(qdx_sqlite3 SYSTEM PUBLIC ${qdx_sqlite_dir})
target_compile_definitions(qdx_sqlite3 PRIVATE
  SQLITE_THREADSAFE=1 SQLITE_SECURE_DELETE SQLITE_USE_URI=1
  SQLITE_LIKE_DOESNT_MATCH_BLOBS SQLITE_MAX_SCHEMA_RETRY=25
  SQLITE_MAX_VARIABLE_NUMBER=250000 SQLITE_ENABLE_COLUMN_METADATA
  SQLITE_ENABLE_DBSTAT_VTAB SQLITE_OMIT_LOAD_EXTENSION)
target_compile_options(qdx_sqlite3 PRIVATE ${qdx_foreign_options})

add_library(qdx_httplib STATIC EXCLUDE_FROM_ALL ${qdx_httplib_dir}/httplib.cc)
target_include_directories(qdx_httplib SYSTEM PUBLIC ${qdx_httplib_dir})
target_compile_options(qdx_httplib PRIVATE ${qdx_foreign_options})
target_link_libraries(qdx_httplib PUBLIC ws2_32 Threads::Threads)

# libmosquitto's own CMake looks for pthreads in C:\pthreads; its sources are
# compiled directly instead, with the VERSION its CMake defines.
file(GLOB qdx_mosquitto_sources ${qdx_mosquitto_dir}/lib/*.c)
add_library(qdx_mosquitto STATIC EXCLUDE_FROM_ALL ${qdx_mosquitto_sources})
# deps/: the uthash headers it bundles.
target_include_directories(qdx_mosquitto PRIVATE ${qdx_mosquitto_dir} ${qdx_mosquitto_dir}/lib
  ${qdx_mosquitto_dir}/deps)
target_include_directories(qdx_mosquitto SYSTEM PUBLIC ${qdx_mosquitto_dir}/include)
target_compile_definitions(qdx_mosquitto PRIVATE WITH_THREADING VERSION="${QDX_MOSQUITTO_VERSION}")
target_compile_definitions(qdx_mosquitto PUBLIC LIBMOSQUITTO_STATIC)
target_compile_options(qdx_mosquitto PRIVATE ${qdx_foreign_options})
target_link_libraries(qdx_mosquitto PUBLIC ws2_32 Threads::Threads)

# The licences, from the source packages, for the zip (cmake/packaging.cmake).
set(QDX_WINDOWS_LIBRARY_LICENCES
  sqlite ${QDX_WINDOWS_SOURCES}/sqlite3/debian/copyright
  cpp-httplib ${QDX_WINDOWS_SOURCES}/cpp-httplib/debian/copyright
  mosquitto ${QDX_WINDOWS_SOURCES}/mosquitto/debian/copyright)

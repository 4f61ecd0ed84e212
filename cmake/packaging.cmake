# Installation (cmake --install) and packages (cpack, or scripts/package.sh
# for every package at once).
#
# Layout under the installation prefix:
#
#   Linux                                   Windows
#   lib/qdxtlmv/libQDXTLMV.so               QDXTLMV.dll             driver module
#   lib/qdxtlmv/stand-in/libTELVOR.so       qdxpoll/TELVOR.dll      TELVOR stand-in
#   lib/qdxtlmv/stand-in/TELVOR-STAND-IN.txt qdxpoll/TELVOR-STAND-IN.txt
#   bin/qdxpoll, bin/rexfsim                qdxpoll/qdxpoll.exe,    tools
#                                             qdxpoll/rexfsim.exe
#   share/doc/qdxtlmv/README.md, LICENSE,   README.md, LICENSE.txt, documents
#     third-party/                            third-party/, SHA256SUMS.txt
#
# The driver module stands apart from the TELVOR stand-in, so that copying
# the module never carries the stand-in into a host's folder. qdxpoll finds
# the stand-in through its run path (Linux) or beside itself (Windows), and
# the module through QDXPOLL_INSTALL_MODULE_DIR, the module folder relative
# to its own.
#
# Components: module, standin, tools, docs. Packages:
#   Linux x86-64   qdxtlmv-<version>-linux-amd64.tar.gz and qdxtlmv_<version>_amd64.deb
#   Linux i386     qdxtlmv-module-<version>-linux-i386.tar.gz (module, stand-in, documents)
#   Windows        QDXTLMV-<version>-win32.zip
# each with a .sha256 file beside it.

set(QDX_PACKAGE_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}")

if(WIN32)
  set(QDX_INSTALL_MODULE_DIR .)
  set(QDX_INSTALL_STANDIN_DIR qdxpoll)
  set(QDX_INSTALL_TOOL_DIR qdxpoll)
  set(QDX_INSTALL_DOC_DIR .)
  set(QDX_LICENSE_NAME LICENSE.txt)
else()
  set(QDX_INSTALL_MODULE_DIR lib/qdxtlmv)
  set(QDX_INSTALL_STANDIN_DIR lib/qdxtlmv/stand-in)
  set(QDX_INSTALL_TOOL_DIR bin)
  set(QDX_INSTALL_DOC_DIR share/doc/qdxtlmv)
  set(QDX_LICENSE_NAME LICENSE)
endif()

# The two libraries: no import libraries, no build-tree run paths. The
# module has no run path of its own: the host has loaded its TELVOR before it.
install(TARGETS QDXTLMV
  RUNTIME DESTINATION ${QDX_INSTALL_MODULE_DIR} COMPONENT module
  LIBRARY DESTINATION ${QDX_INSTALL_MODULE_DIR} COMPONENT module
  ARCHIVE DESTINATION lib COMPONENT module EXCLUDE_FROM_ALL)
install(TARGETS TELVOR
  RUNTIME DESTINATION ${QDX_INSTALL_STANDIN_DIR} COMPONENT standin
  LIBRARY DESTINATION ${QDX_INSTALL_STANDIN_DIR} COMPONENT standin
  ARCHIVE DESTINATION lib COMPONENT standin EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/TELVOR-STAND-IN.txt
  DESTINATION ${QDX_INSTALL_STANDIN_DIR} COMPONENT standin)

if(TARGET qdxpoll)
  get_filename_component(qdx_tool_path /prefix/${QDX_INSTALL_TOOL_DIR} ABSOLUTE)
  get_filename_component(qdx_module_path /prefix/${QDX_INSTALL_MODULE_DIR} ABSOLUTE)
  file(RELATIVE_PATH qdx_module_from_tool ${qdx_tool_path} ${qdx_module_path})
  string(REGEX REPLACE "/$" "" qdx_module_from_tool "${qdx_module_from_tool}")
  target_compile_definitions(qdxpoll PRIVATE QDXPOLL_INSTALL_MODULE_DIR="${qdx_module_from_tool}")
  if(NOT WIN32)
    file(RELATIVE_PATH qdx_standin_from_tool ${qdx_tool_path} /prefix/${QDX_INSTALL_STANDIN_DIR})
    set_target_properties(qdxpoll PROPERTIES INSTALL_RPATH "$ORIGIN/${qdx_standin_from_tool}")
  endif()
  install(TARGETS qdxpoll RUNTIME DESTINATION ${QDX_INSTALL_TOOL_DIR} COMPONENT tools)
  # A line as a service: systemd's unit (one instance a line file) and an
  # example line file, which the .deb's postinst puts in /etc/qdxtlmv.
  if(NOT WIN32)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/qdxpoll@.service DESTINATION lib/systemd/system
      COMPONENT tools)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/line.toml.example DESTINATION share/qdxtlmv COMPONENT tools)
  endif()
endif()
if(TARGET rexfsim)
  install(TARGETS rexfsim RUNTIME DESTINATION ${QDX_INSTALL_TOOL_DIR} COMPONENT tools)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${QDX_INSTALL_DOC_DIR} COMPONENT docs)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${QDX_INSTALL_DOC_DIR}
  RENAME ${QDX_LICENSE_NAME} COMPONENT docs)

# Licences of what the tools are built with, from the Debian packages that
# provided it: CLI11, fmt and nlohmann-json (compiled into qdxpoll), toml++
# (settings files: linked, or compiled in where its library does not fit),
# on Linux cpp-httplib and dygraphs (qdxpoll watch), and on Windows the
# MinGW-w64 runtime and winpthreads linked into every file, with SQLite,
# cpp-httplib and libmosquitto.
set(qdx_third_party
  CLI11 /usr/share/doc/libcli11-dev/copyright
  fmt /usr/share/doc/libfmt-dev/copyright
  nlohmann-json /usr/share/doc/nlohmann-json3-dev/copyright
  tomlplusplus /usr/share/doc/libtomlplusplus-dev/copyright)
if(WIN32)
  list(APPEND qdx_third_party mingw-w64 /usr/share/doc/mingw-w64-i686-dev/copyright)
  # SQLite, cpp-httplib and libmosquitto, compiled from Debian's sources:
  # the copyright files of those source packages.
  if(QDX_WINDOWS_LIBRARIES)
    list(APPEND qdx_third_party ${QDX_WINDOWS_LIBRARY_LICENCES})
  endif()
endif()
# qdxpoll watch: cpp-httplib (linked) and dygraphs (built into qdxpoll).
if(QDXPOLL_WATCH)
  list(APPEND qdx_third_party
    cpp-httplib /usr/share/doc/libcpp-httplib-dev/copyright
    dygraphs /usr/share/doc/libjs-dygraphs/copyright)
endif()
while(qdx_third_party)
  list(POP_FRONT qdx_third_party name copyright)
  if(EXISTS ${copyright})
    install(FILES ${copyright} DESTINATION ${QDX_INSTALL_DOC_DIR}/third-party
      RENAME ${name}.txt COMPONENT docs)
  endif()
endwhile()

# Windows: SHA256SUMS.txt over every installed file, in sha256sum's format,
# so that the files copied out of the zip can be checked. Last of the rules,
# after every file is in place.
if(WIN32)
  install(CODE [[
    set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    set(sums "")
    foreach(name "$<TARGET_FILE_NAME:QDXTLMV>" "qdxpoll/$<TARGET_FILE_NAME:TELVOR>"
                 "qdxpoll/TELVOR-STAND-IN.txt" "qdxpoll/qdxpoll.exe" "qdxpoll/rexfsim.exe" "README.md"
                 "LICENSE.txt")
      if(EXISTS "${root}/${name}")
        file(SHA256 "${root}/${name}" sum)
        string(APPEND sums "${sum} *${name}\n")
      endif()
    endforeach()
    file(GLOB notices RELATIVE "${root}" "${root}/third-party/*.txt")
    list(SORT notices)
    foreach(name IN LISTS notices)
      file(SHA256 "${root}/${name}" sum)
      string(APPEND sums "${sum} *${name}\n")
    endforeach()
    file(WRITE "${root}/SHA256SUMS.txt" "${sums}")
  ]] COMPONENT docs)
endif()

# Packages.
set(CPACK_PACKAGE_NAME qdxtlmv)
set(CPACK_PACKAGE_VENDOR "${QDX_COMPANY}")
set(CPACK_PACKAGE_VERSION "${QDX_PACKAGE_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}, host tool and controller simulator")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "QDXTLMV-${QDX_PACKAGE_VERSION}-win32")
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The 32-bit module for a 32-bit host: the module, the stand-in and the
  # documents, without the tools.
  set(CPACK_GENERATOR TGZ)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_COMPONENTS_ALL module standin docs)
  set(CPACK_PACKAGE_FILE_NAME "qdxtlmv-module-${QDX_PACKAGE_VERSION}-linux-i386")
else()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_PACKAGE_FILE_NAME "qdxtlmv-${QDX_PACKAGE_VERSION}-linux-amd64")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "QDXTLMV team <dev@qdxtlmv.invalid>")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "QDXTLMV is the serial protocol driver module that a host runtime loads to\n"
    "read and write RKC REX-F series temperature controllers on an RS-232 or\n"
    "RS-485 line. The package holds the module (in /usr/lib/qdxtlmv), a stand-in\n"
    "of the host runtime library TELVOR, the host tool qdxpoll and the\n"
    "controller simulator rexfsim. Try: qdxpoll demo")
  # The service's user is made in postinst; remove keeps the histories,
  # purge drops them.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
      ${PROJECT_SOURCE_DIR}/packaging/debian/prerm ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
  find_program(QDX_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(QDX_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${QDX_INSTALL_STANDIN_DIR})
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
    if(QDXPOLL_WATCH)
      string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libcpp-httplib0.11 (>= 0.11.4)")
    endif()
    if(REXF_TOML_SHARED)
      string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libtomlplusplus3 (>= 3.3.0)")
    endif()
    if(QDXPOLL_HISTORY)
      string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libsqlite3-0 (>= 3.40)")
    endif()
    if(QDXPOLL_MQTT)
      string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libmosquitto1 (>= 2.0)")
    endif()
  endif()
endif()
include(CPack)

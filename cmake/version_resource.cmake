# Version information for the Windows files: each DLL and program gets a
# VERSIONINFO resource (windows/version.rc.in, compiled by windres) whose file
# and product version are the project's version, set once in project().
set(QDX_VERSION_DOTS
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${PROJECT_VERSION_TWEAK}")
string(REPLACE "." "," QDX_VERSION_COMMAS "${QDX_VERSION_DOTS}")

# qdx_version_resource(TARGET FILE_NAME DESCRIPTION)
function(qdx_version_resource target file_name description)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(QDX_RC_FILE_TYPE VFT_APP)
  else()
    set(QDX_RC_FILE_TYPE VFT_DLL)
  endif()
  set(QDX_RC_FILE_NAME ${file_name})
  get_filename_component(QDX_RC_INTERNAL_NAME ${file_name} NAME_WE)
  set(QDX_RC_DESCRIPTION "${description}")
  set(rc ${PROJECT_BINARY_DIR}/version/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/windows/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# Writes what the client's build takes from VERSION into DIR: version.h for
# the C++ code and the resource script, and the application manifest. An
# optional second argument is the build number to write instead of VERSION's
# (the tests' newer client).
function(tavrensil_version_files dir)
  if(ARGC GREATER 1)
    set(PROJECT_VERSION_PATCH ${ARGV1})
    set(PROJECT_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${ARGV1})
  endif()
  set(TAVRENSIL_FILE_VERSION_TEXT "${PROJECT_VERSION}.0")
  set(manifest "${dir}/client.manifest")
  configure_file(${PROJECT_SOURCE_DIR}/res/client.manifest.in ${manifest} @ONLY)
  file(CONFIGURE OUTPUT ${dir}/version.h CONTENT
"// Generated from VERSION; do not edit.
#pragma once

// The client's build number: the version's last number.
#define TAVRENSIL_BUILD ${PROJECT_VERSION_PATCH}
#define TAVRENSIL_FILE_VERSION ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0
#define TAVRENSIL_FILE_VERSION_TEXT \"${TAVRENSIL_FILE_VERSION_TEXT}\"
#define TAVRENSIL_MANIFEST_FILE \"${manifest}\"
")
endfunction()

# Version numbers embedded in executables, read back from the file by path
# (platform/os/FileVersion.h): the Linux counterpart of a version resource.
#
# The version is major.minor.release from project(VERSION) and the build
# number KELT_VERSION_BUILD. Each number is a 16-bit unsigned value.
set(KELT_VERSION_BUILD 0 CACHE STRING "Build number embedded in the executables (0..65535)")

set(_kelt_version_template "${CMAKE_CURRENT_LIST_DIR}/KeltVersionNote.cpp.in")

# kelt_embed_version(target [VERSION a.b.c.d])
#   Adds an ELF note ".note.kelt.version" (owner "KeltAppClient", type 1,
#   four little-endian 16-bit numbers) to the executable `target`. Without
#   VERSION it takes the project's version and KELT_VERSION_BUILD.
function(kelt_embed_version target)
  cmake_parse_arguments(ARG "" "VERSION" "" ${ARGN})
  if(ARG_VERSION)
    set(version "${ARG_VERSION}")
  else()
    set(version "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${KELT_VERSION_BUILD}")
  endif()
  string(REPLACE "." ";" parts "${version}")
  list(LENGTH parts count)
  if(NOT count EQUAL 4)
    message(FATAL_ERROR "kelt_embed_version(${target}): '${version}' is not major.minor.release.build")
  endif()
  set(names MAJOR MINOR RELEASE BUILD)
  foreach(i RANGE 3)
    list(GET parts ${i} n)
    list(GET names ${i} name)
    if(NOT n MATCHES "^[0-9]+$" OR n GREATER 65535)
      message(FATAL_ERROR "kelt_embed_version(${target}): '${n}' in '${version}' is not a number from 0 to 65535")
    endif()
    math(EXPR n "${n}") # drops leading zeros
    set(KELT_V_${name} ${n})
  endforeach()
  set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}_version_note.cpp")
  configure_file("${_kelt_version_template}" "${source}" @ONLY)
  target_sources(${target} PRIVATE "${source}")
endfunction()

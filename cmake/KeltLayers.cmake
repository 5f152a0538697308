# The include path of a target holds only the folders of what it links.
#
# Every library (and executable) stages the one source folder it owns under
# build/include/<target>/ and puts that staging folder, not the project root,
# on its public include path. A file can therefore include a header only when
# its target links the library that owns it: a layer above, or a channel next
# door, is not on the path and the compiler says so. The links themselves are
# checked against the order of the layers by scripts/check-layering.py
# (docs/architecture.md).

# kelt_expose(TARGET FOLDER): TARGET's headers are included as "FOLDER/Name.h".
function(kelt_expose target folder)
  set(stage "${CMAKE_BINARY_DIR}/include/${target}")
  set(link "${stage}/${folder}")
  cmake_path(GET link PARENT_PATH parent)
  file(MAKE_DIRECTORY "${parent}")
  if(NOT EXISTS "${link}")
    file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${folder}" "${link}" SYMBOLIC)
  endif()
  target_include_directories(${target} PUBLIC "${stage}")
endfunction()

# kelt_library(NAME FOLDER SOURCES...): a static library owning FOLDER.
function(kelt_library name folder)
  add_library(${name} STATIC ${ARGN})
  kelt_expose(${name} ${folder})
endfunction()

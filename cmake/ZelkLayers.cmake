# The library's layers, checked when the build is configured.
#
# Every folder of core/ is a library target, and a target links only the
# layers below it (frame -> codec -> model -> base, with concurrency beside
# the model). Linking alone would still let a source file include a header
# of a higher layer and compile, so each folder also names the folders whose
# headers it may include, and the configure step refuses a file that
# includes any other project header.

set(ZELK_LAYER_FOLDERS base concurrency model codec entropy sample frame matrix)

# zelk_check_includes(DIRECTORY <dir> ALLOWED <folder>... [DENIED <prefix>...])
# Fails the configure step if a source or header under <dir> (not recursing
# into subfolders that are layers of their own) includes a header of a
# project folder outside ALLOWED, or one whose path starts with a DENIED
# prefix.
function(zelk_check_includes)
  cmake_parse_arguments(ARG "" "DIRECTORY" "ALLOWED;DENIED" ${ARGN})
  file(GLOB files CONFIGURE_DEPENDS ${ARG_DIRECTORY}/*.h ${ARG_DIRECTORY}/*.cpp)
  foreach(file IN LISTS files)
    file(STRINGS ${file} lines REGEX "^#include [\"<][a-z_]+/")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^#include [\"<]([^\">]+)[\">].*" "\\1" header "${line}")
      string(REGEX REPLACE "/.*" "" folder "${header}")
      if(NOT folder IN_LIST ZELK_LAYER_FOLDERS)
        continue()
      endif()
      set(refused FALSE)
      if(NOT folder IN_LIST ARG_ALLOWED)
        set(refused TRUE)
      endif()
      foreach(prefix IN LISTS ARG_DENIED)
        string(FIND "${header}" "${prefix}" at)
        if(at EQUAL 0)
          set(refused TRUE)
        endif()
      endforeach()
      if(refused)
        file(RELATIVE_PATH shown ${PROJECT_SOURCE_DIR} ${file})
        message(FATAL_ERROR "${shown} includes ${header}, against the layers: "
                            "this folder may include only ${ARG_ALLOWED} (see core/README.md)")
      endif()
    endforeach()
  endforeach()
endfunction()

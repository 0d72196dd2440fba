# Fails when a quoted include in FILES names a file of another folder relative
# to the including file (say "../ipc/events.hpp", or "hop/sweep.hpp" from
# src/engines): the compiler would find it beside the file, past the include
# roots that keep each library to its own dependencies. Touches STAMP when all
# is well.
#   cmake -DFILES=<file;...> -DSTAMP=<file> -P check_includes.cmake
set(violations)
foreach(file IN LISTS FILES)
  get_filename_component(folder ${file} DIRECTORY)
  file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*" "\\1" included "${line}")
    if(EXISTS ${folder}/${included})
      get_filename_component(found ${folder}/${included} REALPATH)
      get_filename_component(found_folder ${found} DIRECTORY)
      get_filename_component(real_folder ${folder} REALPATH)
      if(NOT found_folder STREQUAL real_folder)
        string(APPEND violations "\n  ${file}: #include \"${included}\" reaches ${found}")
      endif()
    endif()
  endforeach()
endforeach()
if(violations)
  message(FATAL_ERROR "includes relative to the including file reach another folder; "
                      "write them from src/ (\"folder/file.hpp\") so that the library's dependencies decide:"
                      "${violations}")
endif()
file(TOUCH ${STAMP})

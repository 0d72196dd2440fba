# One static library per source folder, whose dependents see its headers and
# nothing else of src/: each library gets an include root of its own in the
# build folder, holding links to its headers at their src/ paths, and a
# dependency's root reaches a library only through target_link_libraries. An
# include of a folder the library does not depend on therefore fails to compile.
#
#   tarnvale_library(<name> FOLDERS <folder under src>...
#                    [ONLY <file stem>...] [EXCLUDE <file stem>...]
#                    [PUBLIC <library>...] [PRIVATE <library>...])
#
# ONLY and EXCLUDE pick files by name (without extension) where one folder holds
# two layers. PUBLIC names the libraries this one's headers include, PRIVATE
# those only its sources include.

set(TARNVALE_INCLUDE_CHECK ${CMAKE_CURRENT_LIST_DIR}/check_includes.cmake)

function(tarnvale_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "FOLDERS;ONLY;EXCLUDE;PUBLIC;PRIVATE")
  set(source_root ${PROJECT_SOURCE_DIR}/src)

  set(sources)
  set(headers)
  foreach(folder IN LISTS arg_FOLDERS)
    file(GLOB folder_sources CONFIGURE_DEPENDS ${source_root}/${folder}/*.cpp)
    file(GLOB folder_headers CONFIGURE_DEPENDS ${source_root}/${folder}/*.hpp)
    list(APPEND sources ${folder_sources})
    list(APPEND headers ${folder_headers})
  endforeach()
  foreach(stem IN LISTS arg_ONLY)
    list(APPEND only_pattern "/${stem}\\.[ch]pp$")
  endforeach()
  foreach(stem IN LISTS arg_EXCLUDE)
    list(APPEND exclude_pattern "/${stem}\\.[ch]pp$")
  endforeach()
  foreach(files sources headers)
    if(arg_ONLY)
      list(JOIN only_pattern "|" pattern)
      list(FILTER ${files} INCLUDE REGEX "${pattern}")
    endif()
    if(arg_EXCLUDE)
      list(JOIN exclude_pattern "|" pattern)
      list(FILTER ${files} EXCLUDE REGEX "${pattern}")
    endif()
  endforeach()

  # The links are made at configure time; a new header re-runs the configuration
  # through the glob above, and a link whose header has gone is removed.
  set(include_root ${CMAKE_BINARY_DIR}/include/${name})
  set(links)
  foreach(header IN LISTS headers)
    file(RELATIVE_PATH relative ${source_root} ${header})
    set(link ${include_root}/${relative})
    list(APPEND links ${link})
    if(NOT IS_SYMLINK ${link})
      get_filename_component(link_folder ${link} DIRECTORY)
      file(MAKE_DIRECTORY ${link_folder})
      file(CREATE_LINK ${header} ${link} SYMBOLIC)
    endif()
  endforeach()
  file(GLOB_RECURSE existing_links LIST_DIRECTORIES false ${include_root}/*)
  foreach(link IN LISTS existing_links)
    if(NOT link IN_LIST links)
      file(REMOVE ${link})
    endif()
  endforeach()

  # A quoted include is looked up beside the including file before the include
  # path, which would let a source reach a neighbouring folder of src/ without
  # its library: the check turns such an include into a build failure.
  set(checked ${CMAKE_CURRENT_BINARY_DIR}/${name}.includes-checked)
  add_custom_command(
    OUTPUT ${checked}
    COMMAND ${CMAKE_COMMAND} "-DFILES=${sources};${headers}" -DSTAMP=${checked} -P ${TARNVALE_INCLUDE_CHECK}
    DEPENDS ${sources} ${headers} ${TARNVALE_INCLUDE_CHECK}
    COMMENT "Checking the includes of ${name}"
    VERBATIM)

  add_library(${name} STATIC ${sources} ${headers} ${checked})
  target_include_directories(${name} PUBLIC ${include_root})
  target_compile_options(${name} PRIVATE ${TARNVALE_WARNINGS})
  target_link_libraries(${name} PUBLIC tarnvale_external ${arg_PUBLIC} PRIVATE ${arg_PRIVATE})
endfunction()

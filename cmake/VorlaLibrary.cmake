# vorla_library(NAME DIR folder [SOURCES files...] [EXCLUDE files...] [DEPS targets...])
# Builds one static library from the .cpp files of a folder. A folder without sources yet
# gives no library, so later parts can be added without touching this file.
#
# Each library gets an include root of its own, include-roots/<NAME>/ in the build tree,
# holding one link per source folder it may include: its own and those of the libraries in
# DEPS, theirs included. An include of any other folder ("engine/Zivad.h" in mail/) then
# fails to build.
set(VORLA_ENGINE_LIBRARIES "" CACHE INTERNAL "")

# vorla_include_root(NAME folders...): the include root holding links to those folders.
function(vorla_include_root name)
  set(root ${PROJECT_BINARY_DIR}/include-roots/${name})
  file(MAKE_DIRECTORY ${root})
  file(GLOB old LIST_DIRECTORIES true ${root}/*)
  if(old)
    file(REMOVE ${old})  # links of folders no longer allowed; the folders themselves stay
  endif()
  foreach(folder IN LISTS ARGN)
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  endforeach()
endfunction()

function(vorla_library name)
  cmake_parse_arguments(ARG "" "DIR" "SOURCES;EXCLUDE;DEPS" ${ARGN})
  if(ARG_SOURCES)
    set(srcs ${ARG_SOURCES})
    list(FILTER srcs EXCLUDE REGEX "^$")
    set(existing "")
    foreach(s IN LISTS srcs)
      if(EXISTS ${PROJECT_SOURCE_DIR}/${s})
        list(APPEND existing ${PROJECT_SOURCE_DIR}/${s})
      endif()
    endforeach()
    set(srcs ${existing})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${ARG_DIR}/*.cpp)
    foreach(e IN LISTS ARG_EXCLUDE)
      list(REMOVE_ITEM srcs ${PROJECT_SOURCE_DIR}/${e})
    endforeach()
  endif()

  set(folders ${ARG_DIR})
  foreach(dep IN LISTS ARG_DEPS)
    get_property(depFolders GLOBAL PROPERTY VORLA_FOLDERS_${dep})
    list(APPEND folders ${depFolders})
  endforeach()
  list(REMOVE_DUPLICATES folders)
  set_property(GLOBAL PROPERTY VORLA_FOLDERS_${name} ${folders})
  vorla_include_root(${name} ${folders})

  if(NOT srcs)
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_BINARY_DIR}/include-roots/${name})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  else()
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_BINARY_DIR}/include-roots/${name})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
  set(VORLA_ENGINE_LIBRARIES ${VORLA_ENGINE_LIBRARIES} ${name} CACHE INTERNAL "")
endfunction()

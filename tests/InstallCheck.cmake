# Installs the build folder BUILD into a fresh prefix under WORK and checks what lands where:
# every expected file, a desktop entry that validates (when desktop-file-validate is there), and
# a user unit that starts the installed program.
# cmake -DBUILD=<build folder> -DWORK=<scratch folder> [-DMANUAL=<docs/manual folder>] -P InstallCheck.cmake
set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}")
endif()

set(expected
  bin/vorla
  share/applications/vorla.desktop
  share/icons/hicolor/scalable/apps/vorla.svg
  share/icons/hicolor/16x16/apps/vorla.png
  share/icons/hicolor/32x32/apps/vorla.png
  share/icons/hicolor/48x48/apps/vorla.png
  share/icons/hicolor/64x64/apps/vorla.png
  share/icons/hicolor/128x128/apps/vorla.png
  share/icons/hicolor/256x256/apps/vorla.png
  lib/systemd/user/vorla.service)
# The manual goes in whole when the source tree has one.
if(MANUAL AND IS_DIRECTORY ${MANUAL})
  file(GLOB_RECURSE manual_files RELATIVE ${MANUAL} ${MANUAL}/*)
  foreach(f IN LISTS manual_files)
    list(APPEND expected share/vorla/help/${f})
  endforeach()
endif()

set(missing "")
foreach(path IN LISTS expected)
  if(NOT EXISTS ${prefix}/${path})
    string(APPEND missing "  ${path}\n")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "not installed under ${prefix}:\n${missing}")
endif()

find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
if(DESKTOP_FILE_VALIDATE)
  execute_process(COMMAND ${DESKTOP_FILE_VALIDATE} ${prefix}/share/applications/vorla.desktop
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "")
    message(FATAL_ERROR "vorla.desktop does not validate:\n${out}")
  endif()
else()
  message(STATUS "desktop-file-validate not found; the desktop entry was not validated")
endif()

file(STRINGS ${prefix}/lib/systemd/user/vorla.service exec REGEX "^ExecStart=")
if(NOT exec STREQUAL "ExecStart=${prefix}/bin/vorla --headless")
  message(FATAL_ERROR "the unit starts '${exec}', not '${prefix}/bin/vorla --headless'")
endif()
file(STRINGS ${prefix}/share/applications/vorla.desktop exec REGEX "^Exec=")
if(NOT exec STREQUAL "Exec=${prefix}/bin/vorla")
  message(FATAL_ERROR "the desktop entry starts '${exec}', not '${prefix}/bin/vorla'")
endif()
message(STATUS "installed and checked ${prefix}")

# Checks that the include root of each library shows the folders it may include and no
# other, so that an upward include ("engine/Zivad.h" in mail/) fails to build. Runs the
# preprocessor once per library:
#   cmake -DCXX=<compiler> -DROOTS=<build>/include-roots -DWORK=<folder> -P LayoutCheck.cmake

cmake_minimum_required(VERSION 3.25)

# The folders each library may include, lowest first.
set(visible_vorla_platform platform)
set(visible_vorla_text platform text)
set(visible_vorla_log platform text log)
set(visible_vorla_mail platform text mail)
set(visible_vorla_net platform text log mail net)
set(visible_vorla_filters platform text log mail net filters)
set(visible_vorla_engine platform text log mail net filters engine)
set(visible_vorla_core platform text log mail net filters engine app)

# One header of each folder.
set(header_platform platform/Errors.h)
set(header_text text/TextSearch.h)
set(header_log log/ZivadLog.h)
set(header_mail mail/MailMessage.h)
set(header_net net/Dns.h)
set(header_filters filters/Classify.h)
set(header_engine engine/Zivad.h)
set(header_app app/CoreVersion.h)
set(folders platform text log mail net filters engine app)

file(MAKE_DIRECTORY ${WORK})
set(failures "")
foreach(lib vorla_platform vorla_text vorla_log vorla_mail vorla_net vorla_filters vorla_engine vorla_core)
  set(source "")
  foreach(folder IN LISTS folders)
    set(header ${header_${folder}})
    if(folder IN_LIST visible_${lib})
      string(APPEND source "#if !__has_include(\"${header}\")\n#error ${lib} cannot see ${header}\n#endif\n")
    else()
      string(APPEND source "#if __has_include(\"${header}\")\n#error ${lib} sees ${header}, above it\n#endif\n")
    endif()
  endforeach()
  file(WRITE ${WORK}/${lib}.cpp "${source}")
  execute_process(COMMAND ${CXX} -E -x c++ -I ${ROOTS}/${lib} ${WORK}/${lib}.cpp -o ${WORK}/${lib}.i
                  RESULT_VARIABLE result ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    string(APPEND failures "${errors}")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()

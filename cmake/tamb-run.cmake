# Run by the build, from tamb's CMake package (tambConfig.cmake):
#   cmake -DTAMB=<tamb> -DOUTPUT=<file> [-DFRESH=1] [-DOPTIONS=<option>...]
#         -P tamb-run.cmake -- <input>...
# runs `tamb --strict <option>... -o <file> <input>...` (so that an input
# holding any damage fails the build), first removing <file> and making its
# directory when FRESH is set.
# When tamb fails, its own messages have been shown; <file> is then removed,
# so that the next build makes it again instead of keeping it without its
# resources, and the build step fails.
set(inputs "")
set(take OFF)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE 1 ${last})
  if(take)
    list(APPEND inputs "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} STREQUAL "--")
    set(take ON)
  endif()
endforeach()
if(FRESH)
  file(REMOVE "${OUTPUT}")
  get_filename_component(directory "${OUTPUT}" DIRECTORY)
  file(MAKE_DIRECTORY "${directory}")
endif()
execute_process(COMMAND "${TAMB}" --strict ${OPTIONS} -o "${OUTPUT}" ${inputs}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "tamb failed (${status}); removed ${OUTPUT}")
endif()

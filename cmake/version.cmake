# Writes the header with the version string that show_version prints: `git describe` of the
# source folder when it is a git checkout, "unknown" otherwise. Run at every build; the header
# is rewritten (and its users recompiled) only when the string changes.
#   cmake -DSOURCE_DIR=... -DOUTPUT=... -P version.cmake
set(version "unknown")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --always --dirty
                  WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE described RESULT_VARIABLE status
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(status EQUAL 0 AND described)
    set(version "${described}")
  endif()
endif()
set(text "#pragma once\n#define TRAVANTO_VERSION \"${version}\"\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE ${OUTPUT} "${text}")
endif()

# The version that notara --version prints: the project's version and, when
# the sources are a git checkout, `git describe` of it as it was when CMake
# configured the build. An unpacked source archive has no description.
set(NOTARA_GIT_DESCRIBE "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${PROJECT_SOURCE_DIR}/.git")
  execute_process(
    COMMAND "${GIT_EXECUTABLE}" describe --tags --always --dirty
    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
    OUTPUT_VARIABLE NOTARA_GIT_DESCRIBE
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE notara_git_result)
  if(NOT notara_git_result EQUAL 0)
    set(NOTARA_GIT_DESCRIBE "")
  endif()
endif()

# Starts the real program once, in an empty working directory: it must come
# up (showing its not-configured message) and still be running when the time
# is up. Run as: cmake -DPROGRAM=<path> -DWORKDIR=<dir> -P startcheck.cmake
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}")
execute_process(COMMAND "${PROGRAM}" WORKING_DIRECTORY "${WORKDIR}" TIMEOUT 3 RESULT_VARIABLE status)
file(REMOVE_RECURSE "${WORKDIR}")
if(NOT status MATCHES "timeout")
    message(FATAL_ERROR "The program did not keep running (exit status ${status})")
endif()
message(STATUS "Program start: ok")

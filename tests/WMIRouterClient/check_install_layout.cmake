# "cmake --install" lays out exactly the folder an administrator copies onto
# a Windows machine.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install failed")
endif()
file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
set(expected RouterClientPerf.mof RouterClientPerfRemove.mof RouterPerfClient.dll install.cmd uninstall.cmd)
if(NOT installed STREQUAL expected)
    message(FATAL_ERROR "installed [${installed}], expected [${expected}]")
endif()
file(READ "${PREFIX}/install.cmd" script HEX)
if(NOT script MATCHES "0d0a")
    message(FATAL_ERROR "install.cmd lost its CR LF line ends")
endif()
file(REMOVE_RECURSE "${PREFIX}")

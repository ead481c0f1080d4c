# Configures and builds the Windows cross build:
#   cmake -DSOURCE_DIR=<source> -DBINARY_DIR=<build folder> [-DBUILD_TYPE=<type>] -P BuildWindows.cmake
# The tool chain is given when the folder is configured the first time; it stays in its cache.
set(toolchain "")
if(NOT EXISTS ${BINARY_DIR}/CMakeCache.txt)
    set(toolchain --toolchain ${SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake)
endif()
cmake_host_system_information(RESULT jobs QUERY NUMBER_OF_LOGICAL_CORES)
execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BINARY_DIR} ${toolchain} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
    COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR} -j ${jobs} COMMAND_ERROR_IS_FATAL ANY)

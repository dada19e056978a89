# For a check only: the MinGW-w64 toolchain, configured as a build on
# Windows itself would be (WIN32, not cross-compiling), so that what a
# Windows developer's configure runs is run here too.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
set(CMAKE_CROSSCOMPILING FALSE)

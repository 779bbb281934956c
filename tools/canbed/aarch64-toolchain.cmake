# Cross build for the arm64 test bed: Debian's aarch64-linux-gnu toolchain on the host; the Python and Asio
# headers come from the bed's Debian 13 arm64 root (passed in as cache variables by arm64.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

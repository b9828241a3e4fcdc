# Cross build for 64-bit ARM Linux with Debian's cross compiler
# (crossbuild-essential-arm64) and the arm64 multiarch libraries
# (dpkg --add-architecture arm64; libdlt-dev:arm64, libgtest-dev:arm64, ...).
# Headers are shared with the host in /usr/include, libraries and their CMake
# packages live in /usr/lib/aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Programs found while configuring (dlt-convert) run on the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Every target executable the build or the tests run goes through qemu-user
# (package qemu-user; these machines have no binfmt_misc registration). The
# multiarch root serves libc6:arm64 and libstdc++6:arm64; with the cross
# compiler's own runtime (-L /usr/aarch64-linux-gnu) threaded programs hang
# under qemu 7.2.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)

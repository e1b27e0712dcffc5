# linux-arm64 cross build on an x86-64 Debian machine: Debian's aarch64-linux-gnu
# toolchain, with the arm64 libraries installed through dpkg multiarch
# (scripts/install-build-deps.sh --arm64). scripts/build.js --arch arm64 uses it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Multiarch keeps both architectures' libraries under /usr: without these,
# CMake and pkg-config find the build machine's x86-64 OpenSSL and libcrypt.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

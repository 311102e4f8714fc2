# Cross-compiles for macOS with Zig's bundled clang and macOS headers:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake -DZIG_WRAPPERS=DIR -DZIG_TARGET=aarch64-macos
# DIR holds the wrappers .ci/macos writes: zig-c++, zig-ar and zig-ranlib,
# each running `zig c++ -target ZIG_TARGET` (or ar, ranlib) on one core.
# This proves that the code compiles and links against those headers; it
# cannot run the result.
set(CMAKE_SYSTEM_NAME Darwin)
if(ZIG_TARGET MATCHES "^aarch64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()
set(CMAKE_CXX_COMPILER ${ZIG_WRAPPERS}/zig-c++)
set(CMAKE_AR ${ZIG_WRAPPERS}/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ZIG_WRAPPERS}/zig-ranlib CACHE FILEPATH "")
# No Xcode here to ask for a sysroot or architectures: Zig brings its own.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "")

# Cross build for 64-bit Windows with Debian's mingw-w64 (POSIX thread model,
# so std::thread and std::mutex work). scripts/build-windows.sh passes the
# folders of the dependencies it built in VANTOR_MINGW_PREFIXES.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VANTOR_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${VANTOR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VANTOR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VANTOR_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${VANTOR_MINGW_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VANTOR_MINGW_TRIPLET}-ranlib CACHE FILEPATH "")

# Try-compiles re-read this file; hand them the dependency folders too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANTOR_MINGW_PREFIXES)
set(CMAKE_FIND_ROOT_PATH /usr/${VANTOR_MINGW_TRIPLET} ${VANTOR_MINGW_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config looks only at the cross-built dependencies, never the host's.
set(_pc_dirs "")
foreach(prefix ${VANTOR_MINGW_PREFIXES})
  list(APPEND _pc_dirs ${prefix}/lib/pkgconfig ${prefix}/share/pkgconfig)
endforeach()
string(REPLACE ";" ":" _pc_dirs "${_pc_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${_pc_dirs}")
set(ENV{PKG_CONFIG_PATH} "")

# Programs run without the compiler's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs are listed when ctest runs them (under Wine), not at build time.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
find_program(VANTOR_WINE wine)
if(VANTOR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTOR_WINE})
endif()

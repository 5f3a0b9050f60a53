# Cross build for 64-bit Windows with Debian's mingw-w64 compiler, the variant
# with POSIX threads (g++-mingw-w64-x86-64-posix): std::thread and std::mutex
# need it. Test programs run under wine (Debian package wine), so ctest works
# as on Windows:
#
#   cmake --preset mingw && cmake --build --preset mingw && ctest --preset mingw

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QB_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QB_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QB_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QB_MINGW_TRIPLET}-windres)

# Libraries and packages come from the Windows sysroot only; programs (wine)
# from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${QB_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's runtime (libgcc, libstdc++, winpthread) is linked into every
# DLL and EXE, so that they run without mingw's DLLs beside them: under wine
# here, and on a Windows server that has never seen mingw. Each module then has
# its own copy of the C++ runtime; memory still comes from the one C runtime
# (msvcrt.dll) that all of them import, so a block may be freed by another
# module than the one that allocated it.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-static")
endforeach()

find_program(QB_WINE NAMES wine wine64 DOC "wine, to run Windows test programs")
if(QB_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${QB_WINE}")
endif()

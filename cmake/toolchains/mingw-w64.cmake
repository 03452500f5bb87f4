# Shared part of the two mingw-w64 toolchain files. The including file sets
# PDKIT_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
#
# What this build produces for Windows: the driver images (.sys, linked
# against ntoskrnl.exe only, see cmake/WdmImage.cmake) and the user-mode
# tools (.exe). Both come from Debian's mingw-w64 cross compilers.
set(CMAKE_SYSTEM_NAME Windows)

foreach(tool gcc g++ windres)
  string(MAKE_C_IDENTIFIER "PDKIT_MINGW_${tool}" var)
  find_program(${var} ${PDKIT_MINGW_TRIPLE}-${tool})
  if(NOT ${var})
    if(PDKIT_MINGW_TRIPLE MATCHES "^i686")
      set(pkg "g++-mingw-w64-i686")
    else()
      set(pkg "g++-mingw-w64-x86-64")
    endif()
    message(FATAL_ERROR
      "${PDKIT_MINGW_TRIPLE}-${tool} was not found on PATH, so the Windows images "
      "cannot be built. Install the cross compiler (apt-get install ${pkg} "
      "binutils-mingw-w64) or build only the host preset (make host).")
  endif()
endforeach()

set(CMAKE_C_COMPILER   ${PDKIT_MINGW_gcc})
set(CMAKE_CXX_COMPILER ${PDKIT_MINGW_g__})
set(CMAKE_RC_COMPILER  ${PDKIT_MINGW_windres})

# windres runs the C preprocessor but writes no dependency file, so an edit
# to an included file (sharefiles/version.rc) would not rebuild the
# resources: have the preprocessor write the file Ninja expects.
set(CMAKE_DEPFILE_FLAGS_RC
  "--preprocessor-arg=-MD --preprocessor-arg=-MF --preprocessor-arg=<DEP_FILE> --preprocessor-arg=-MT --preprocessor-arg=<OBJECT>")

# Headers and libraries come from the mingw-w64 sysroot only; programs run
# on the build machine come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${PDKIT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CMake's Windows-GNU defaults append kernel32, user32, gdi32, ole32 and more
# to every link line. A driver image must resolve every symbol from
# ntoskrnl.exe alone; with user-mode libraries on its link line a stray call
# would link against kernel32.dll instead of failing. The compiler driver
# already links the usual system libraries into user-mode programs.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "Libraries linked into every C program (none: see cmake/toolchains/mingw-w64.cmake)")
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "Libraries linked into every C++ program (none: see cmake/toolchains/mingw-w64.cmake)")

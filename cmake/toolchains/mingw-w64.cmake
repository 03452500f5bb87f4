# Shared part of the two Windows toolchain files. The including file sets
# PDKIT_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
#
# What this build produces for Windows: the driver images (.sys, linked
# against ntoskrnl.exe only, see cmake/WdmImage.cmake) and the user-mode
# tools (.exe). One toolchain builds both: clang for the mingw-w64 target
# with LLVM's linker, lld, which writes the images' PDB files and CodeView
# debug records; the headers, import libraries, libgcc and libstdc++ come
# from Debian's mingw-w64 packages, as do windres for the resources.
set(CMAKE_SYSTEM_NAME Windows)

if(PDKIT_MINGW_TRIPLE MATCHES "^i686")
  set(_pdkit_mingw_pkg "g++-mingw-w64-i686")
else()
  set(_pdkit_mingw_pkg "g++-mingw-w64-x86-64")
endif()

foreach(tool gcc windres)
  string(MAKE_C_IDENTIFIER "PDKIT_MINGW_${tool}" var)
  find_program(${var} ${PDKIT_MINGW_TRIPLE}-${tool})
  if(NOT ${var})
    message(FATAL_ERROR
      "${PDKIT_MINGW_TRIPLE}-${tool} was not found on PATH, so the Windows images "
      "cannot be built: it brings the mingw-w64 headers and libraries. Install it "
      "(apt-get install ${_pdkit_mingw_pkg} binutils-mingw-w64) or build only the "
      "host preset (make host).")
  endif()
endforeach()
foreach(tool clang clang++ ld.lld)
  string(MAKE_C_IDENTIFIER "PDKIT_LLVM_${tool}" var)
  find_program(${var} ${tool})
  if(NOT ${var})
    message(FATAL_ERROR
      "${tool} was not found on PATH, so the Windows images cannot be built. "
      "Install LLVM's compiler and linker (apt-get install clang lld llvm) or build "
      "only the host preset (make host).")
  endif()
endforeach()

# clang's name for the target: i686-w64-windows-gnu, x86_64-w64-windows-gnu.
string(REPLACE "-mingw32" "-windows-gnu" PDKIT_CLANG_TARGET ${PDKIT_MINGW_TRIPLE})
set(CMAKE_C_COMPILER   ${PDKIT_LLVM_clang})
set(CMAKE_CXX_COMPILER ${PDKIT_LLVM_clang__})
set(CMAKE_C_COMPILER_TARGET   ${PDKIT_CLANG_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${PDKIT_CLANG_TARGET})
set(CMAKE_RC_COMPILER  ${PDKIT_MINGW_windres})
# The mingw-w64 cross compiler's own libraries and C++ headers (libgcc,
# libstdc++): clang does not recognise Debian's directory for them
# (/usr/lib/gcc/<triple>/12-win32), so the toolchain names it. The images
# take only libgcc's compiler helpers (64-bit division on i686) from there.
execute_process(COMMAND ${PDKIT_MINGW_gcc} -print-libgcc-file-name
  OUTPUT_VARIABLE PDKIT_MINGW_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(_pdkit_gcc_dir ${PDKIT_MINGW_LIBGCC} DIRECTORY)
# The programs get the C++ headers (cmake/WdmImage.cmake), the freestanding images do not.
set(PDKIT_MINGW_CXX_INCLUDE_DIRS
  ${_pdkit_gcc_dir}/include/c++ ${_pdkit_gcc_dir}/include/c++/${PDKIT_MINGW_TRIPLE} ${_pdkit_gcc_dir}/include/c++/backward)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${_pdkit_gcc_dir}")

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

# Windows images for 32-bit x86 (the drivers' primary target).
#   cmake --preset mingw-i686
set(PDKIT_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

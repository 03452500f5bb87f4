# add_wdm_driver(<name> SOURCES <files...> [RESOURCE <file.rc>] [NTDDI_VERSION <version>])
#
# Builds one WDM driver from kernel-only sources.
# - Host build: a module <name>.so in build/<preset>/drivers/ that links
#   against libntsim and that ntsim loads like the kernel loads an image.
#   Built with -fshort-wchar so L"..." is UTF-16 as on Windows, and with
#   __FILE__ relative to the source root, as the remove-lock calls report it.
#   NTDDI_VERSION (e.g. NTDDI_WIN8) declares the Windows the module is built
#   for; from Windows 8 on, ntsim's verifier checks its code integrity
#   (docs/DRIVER-MODULES.md).
# - Image build (mingw-w64 toolchain): <name>.sys, see cmake/WdmImage.cmake.
set(PDKIT_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
get_filename_component(PDKIT_SOURCE_ROOT ${PDKIT_SOURCE_ROOT} ABSOLUTE)

function(add_wdm_driver name)
  cmake_parse_arguments(ARG "" "RESOURCE;NTDDI_VERSION" "SOURCES" ${ARGN})
  if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    include(WdmImage)
    wdm_image(${name} SOURCES ${ARG_SOURCES} RESOURCE "${ARG_RESOURCE}")
    return()
  endif()
  add_library(${name} MODULE ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/drivers)
  target_link_libraries(${name} PRIVATE ntsim_kernel)
  target_include_directories(${name} PRIVATE ${PDKIT_SOURCE_ROOT})
  if(ARG_NTDDI_VERSION)
    target_compile_definitions(${name} PRIVATE NTDDI_VERSION=${ARG_NTDDI_VERSION})
  endif()
  wdm_host_flags(${name})
  # GCC expands a copy or zeroing of bounded but unknown length (the store's
  # tail after a short write) into `rep stos`/`rep movs`, whose start-up on
  # some x86 cores costs more than the rest of the request; the C library's
  # routines choose by length. The driver's code stays the same.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|i.86")
    target_compile_options(${name} PRIVATE -mstringop-strategy=libcall)
  endif()
  pdkit_warnings(${name})
endfunction()

# The options that make __FILE__ a path relative to the source root: the
# compiler is handed a source by its absolute path, or, through ccache with
# CCACHE_BASEDIR, by its path relative to the build tree it runs in.
function(wdm_source_file_maps out)
  file(RELATIVE_PATH from_build ${CMAKE_BINARY_DIR} ${PDKIT_SOURCE_ROOT}/)
  set(${out} -fmacro-prefix-map=${PDKIT_SOURCE_ROOT}/= -fmacro-prefix-map=${from_build}= PARENT_SCOPE)
endfunction()

# Flags every host driver module needs, also a user's own (see docs/DRIVER-MODULES.md).
function(wdm_host_flags target)
  wdm_source_file_maps(source_file_maps)
  # -fno-gnu-unique keeps GCC from making a module unloadable; clang never does.
  target_compile_options(${target} PRIVATE
    -fshort-wchar -fno-exceptions -fno-rtti $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>
    -fno-threadsafe-statics -fvisibility=hidden
    ${source_file_maps})
endfunction()

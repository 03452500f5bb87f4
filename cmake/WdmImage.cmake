# wdm_image(<name> SOURCES <files...> RESOURCE <file.rc>)
#
# Builds <name>.sys, a kernel-mode driver image for Windows, and its program
# database <name>.pdb, with clang and lld for the mingw-w64 target
# (cmake/toolchains/). add_wdm_driver() calls it in the image build. The image:
# - runs in the native subsystem with DriverEntry as its entry point
#   (_DriverEntry@8 on i686: the kernel calls it __stdcall);
# - imports from ntoskrnl.exe only: no C runtime, no HAL, no start files.
#   Compiler helpers come from libgcc, whose helpers import nothing;
#   memcpy/memset/memmove calls, also those the compiler emits for struct
#   copies, bind to ntoskrnl's exports;
# - keeps its base relocations and is marked dynamic-base and NX-compatible;
#   no section is both writable and executable; x86_64 images keep their
#   unwind data (.pdata/.xdata), which the kernel needs to walk the stack;
# - has a valid PE checksum (set after the link, cmake/wdm/set_checksum.py;
#   signing recomputes it);
# - carries the version resource compiled from RESOURCE;
# - carries a CodeView debug record naming <name>.pdb (file name only, so
#   that a debugger finds the PDB beside the image or on its symbol path);
#   the PDB holds the symbols and types of every source (-gcodeview);
# - has no global constructors (a compile error, -Werror=global-constructors,
#   and checked again in the linker map, cmake/wdm/CheckImageMap.cmake) and
#   writes a linker map <name>.map.
# The staged, test-signed copy lands in <build>/images/ (cmake/ImageSet.cmake).
include_guard(GLOBAL)

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
  message(FATAL_ERROR "WdmImage.cmake is for the Windows image build (cmake --preset mingw-i686 or mingw-x86_64)")
endif()

enable_language(RC)
include(ImageSet)
include(PythonPefile)
if(NOT PDKIT_PYTHON_PEFILE)
  message(FATAL_ERROR
    "No Python 3 with pefile was found: the image build sets each image's checksum "
    "with it. Install it (apt-get install python3-pefile).")
endif()

find_path(PDKIT_WDM_INCLUDE_DIR wdm.h PATH_SUFFIXES ddk include/ddk
  DOC "Directory with the mingw-w64 kernel headers (wdm.h, ntddk.h)")
if(NOT PDKIT_WDM_INCLUDE_DIR)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_wdm_headers_package mingw-w64-i686-dev)
  else()
    set(_wdm_headers_package mingw-w64-x86-64-dev)
  endif()
  message(FATAL_ERROR
    "The mingw-w64 kernel headers (ddk/wdm.h) were not found under ${CMAKE_FIND_ROOT_PATH}. "
    "They come with the Debian package ${_wdm_headers_package} (apt-get install "
    "${_wdm_headers_package}); or pass -DPDKIT_WDM_INCLUDE_DIR=<directory holding wdm.h>.")
endif()

# libstdc++'s headers for the Windows programs (pdctl.exe, pdinstall.exe),
# which the toolchain file found; never for the freestanding driver images.
foreach(dir IN LISTS PDKIT_MINGW_CXX_INCLUDE_DIRS)
  include_directories(SYSTEM "$<$<AND:$<COMPILE_LANGUAGE:CXX>,$<NOT:$<BOOL:$<TARGET_PROPERTY:PDKIT_DRIVER_IMAGE>>>>:${dir}>")
endforeach()

# Per-architecture settings of the images, returned in the caller's scope.
macro(_wdm_arch_settings)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_wdm_entry _DriverEntry@8)
    # Windows XP: the oldest system the drivers' kernel interfaces target.
    set(_wdm_os_major 5)
    set(_wdm_os_minor 1)
    set(_wdm_image_base 0x10000)
    set(_wdm_arch_compile_options
      # No unwind tables: i686 Windows does not use them and with exceptions
      # off nothing reads them.
      -fno-asynchronous-unwind-tables
      # Integer registers only: kernel code must not touch x87/MMX/SSE state
      # without saving it first.
      -mgeneral-regs-only)
  else()
    set(_wdm_entry DriverEntry)
    # Windows XP x64 / Server 2003 SP1.
    set(_wdm_os_major 5)
    set(_wdm_os_minor 2)
    set(_wdm_image_base 0x140000000)
    # Unwind tables (.pdata/.xdata) for every function: the kernel unwinds
    # through driver frames when it walks stacks and dispatches exceptions.
    set(_wdm_arch_compile_options -fasynchronous-unwind-tables)
  endif()
endmacro()

function(wdm_image name)
  cmake_parse_arguments(ARG "" "RESOURCE" "SOURCES" ${ARGN})
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "wdm_image(${name}): no SOURCES given")
  endif()
  if(NOT ARG_RESOURCE)
    message(FATAL_ERROR
      "wdm_image(${name}): no RESOURCE given. Every driver image carries a version "
      "resource: pass RESOURCE <dir>/drvmain.rc (see directio_pw/drvmain.rc).")
  endif()

  _wdm_arch_settings()
  set(support_dir ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/wdm)
  add_executable(${name} ${ARG_SOURCES} ${ARG_RESOURCE} ${support_dir}/relocation_anchor.cpp)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
  set(pdb ${CMAKE_CURRENT_BINARY_DIR}/${name}.pdb)
  set_target_properties(${name} PROPERTIES
    SUFFIX ".sys"
    PDKIT_DRIVER_IMAGE ON
    PDKIT_LINKER_MAP ${map}
    PDKIT_PDB ${pdb}
    ADDITIONAL_CLEAN_FILES "${map};${pdb}")
  set_property(GLOBAL APPEND PROPERTY PDKIT_DRIVER_IMAGES ${name})

  target_include_directories(${name} PRIVATE ${PDKIT_SOURCE_ROOT})
  target_include_directories(${name} SYSTEM PRIVATE ${PDKIT_WDM_INCLUDE_DIR})
  target_compile_definitions(${name} PRIVATE
    # The DDK's wdm.h defines these two intrinsics itself; as C++ they would
    # clash with the compiler's declarations from <intrin.h>.
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset
    # The version resource takes its numbers from the project version.
    $<$<COMPILE_LANGUAGE:RC>:PDKIT_VERSION_MAJOR=${pdkit_VERSION_MAJOR}>
    $<$<COMPILE_LANGUAGE:RC>:PDKIT_VERSION_MINOR=${pdkit_VERSION_MINOR}>
    $<$<COMPILE_LANGUAGE:RC>:PDKIT_VERSION_PATCH=${pdkit_VERSION_PATCH}>
    $<$<COMPILE_LANGUAGE:RC>:PDKIT_VERSION_TWEAK=${pdkit_VERSION_TWEAK}>)
  wdm_source_file_maps(source_file_maps)
  target_compile_options(${name} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:
      # Freestanding: no hosted library, and calls the compiler cannot
      # inline (memcpy, memset) go to ntoskrnl's exports.
      -ffreestanding
      -fno-exceptions -fno-rtti
      # No __cxa_guard_* calls for local statics: there is no runtime.
      -fno-threadsafe-statics
      # Driver code type-puns kernel structures the way the kernel's own
      # compiler allows.
      -fno-strict-aliasing
      -fno-stack-protector
      # Symbols and types for the PDB.
      -g -gcodeview
      # Nothing runs constructors in a kernel image.
      -Werror=global-constructors
      # __FILE__ relative to the source root, as in the host modules: the
      # remove-lock calls report it, and build paths stay out of the image.
      ${source_file_maps}
      ${_wdm_arch_compile_options}>)
  pdkit_warnings(${name})

  target_link_options(${name} PRIVATE
    -nostdlib
    -Wl,--subsystem,native:${_wdm_os_major}.${_wdm_os_minor}
    -Wl,--major-os-version,${_wdm_os_major} -Wl,--minor-os-version,${_wdm_os_minor}
    # The entry must exist: a linker would otherwise only warn and enter at the
    # start of .text. A cdecl DriverEntry would not pop the kernel's
    # arguments, so _DriverEntry@8 (or any stdcall name) is never bound to
    # an undecorated symbol.
    -Wl,--entry,${_wdm_entry} -Wl,--require-defined,${_wdm_entry}
    -Wl,--disable-stdcall-fixup
    # A kernel-mode driver (lld-link's /driver); base relocations are kept.
    -Wl,--Xlink=-driver
    -Wl,--image-base,${_wdm_image_base}
    -Wl,--dynamicbase -Wl,--nxcompat
    $<$<EQUAL:${CMAKE_SIZEOF_VOID_P},8>:-Wl,--high-entropy-va>
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    # Nothing is exported, and nothing is auto-imported.
    -Wl,--exclude-all-symbols -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
    -Wl,-Map,${map}
    # The debug information goes to the PDB; the image keeps only the
    # CodeView record, which names the PDB without the build's directory.
    -Wl,--pdb=${pdb} -Wl,--Xlink=-pdbaltpath:%_PDB%)
  target_link_libraries(${name} PRIVATE ntoskrnl ${PDKIT_MINGW_LIBGCC})

  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DMAP=${map} -DIMAGE=$<TARGET_FILE_NAME:${name}>
            -P ${support_dir}/CheckImageMap.cmake
    COMMAND ${PDKIT_PYTHON_PEFILE} ${support_dir}/set_checksum.py $<TARGET_FILE:${name}>
    VERBATIM)
endfunction()

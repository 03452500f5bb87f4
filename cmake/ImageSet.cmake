# The image set: everything a Windows test machine needs, gathered in
# <build>/images/ by the target `image_set` (part of `all`):
#
#   <driver>.sys  <driver>.map   each driver image, test-signed, its
#   <driver>.pdb                 linker map and its program database (symbols
#                                for WinDbg; the image's CodeView record names it)
#   <tool>.exe                   every Windows executable of the build, test-signed
#   *.inf                        the install files registered with
#                                pdkit_image_set_files()
#   <name>.cat                   the catalog each INF names for this build's
#                                architecture (CatalogFile.NTx86 or
#                                CatalogFile.NTamd64): the hashes of the INF and
#                                of the files it installs, test-signed
#                                (tools/mkcat)
#   pdkit-test-signing.cer       the certificate to trust on the test machine
#   test-fixtures/               programs built only for the tests (target
#                                property PDKIT_TEST_FIXTURE)
#
# `make images` copies <build>/images/ to build/images/<arch>/. The set is
# assembled once the whole source tree has been read, so that it sees the
# targets of every directory.
include_guard(GLOBAL)
include(TestSigning)

# pdkit_image_set_files(<file>...): plain files (INFs, docs) to stage as they are.
function(pdkit_image_set_files)
  foreach(file IN LISTS ARGN)
    get_filename_component(file ${file} ABSOLUTE)
    set_property(GLOBAL APPEND PROPERTY PDKIT_IMAGE_SET_FILES ${file})
  endforeach()
endfunction()

# The Python that runs tools/mkcat: one with the asn1crypto module (Debian's
# python3-asn1crypto goes to Debian's python3, which need not be the first
# python3 on PATH).
function(_pdkit_find_catalog_python out)
  find_package(Python3 COMPONENTS Interpreter)
  foreach(candidate IN ITEMS ${Python3_EXECUTABLE} /usr/bin/python3)
    if(EXISTS ${candidate})
      execute_process(COMMAND ${candidate} -c "import asn1crypto"
        RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
      if(NOT failed)
        set(${out} ${candidate} PARENT_SCOPE)
        return()
      endif()
    endif()
  endforeach()
  message(FATAL_ERROR
    "The driver packages' catalogs (.cat) are made by tools/mkcat, which needs python3 with the "
    "asn1crypto module (apt-get install python3 python3-asn1crypto).")
endfunction()

# The catalog `inf` names for this build's architecture (CatalogFile.NTx86 or
# .NTamd64), made from the staged INF and the staged files it lists, then
# signed like the images.
function(_pdkit_stage_catalog inf dest depends outputs_var)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(arch amd64)
  else()
    set(arch x86)
  endif()
  file(STRINGS ${inf} lines REGEX "^[ \t]*CatalogFile[.]NT${arch}[ \t]*=")
  if(NOT lines)
    return()
  endif()
  list(GET lines 0 line)
  string(REGEX REPLACE "^[^=]*=[ \t]*([^ \t;]+).*$" "\\1" catalog "${line}")
  get_filename_component(inf_name ${inf} NAME)
  set(unsigned ${CMAKE_BINARY_DIR}/catalogs/${catalog})
  set(mkcat ${PDKIT_SOURCE_ROOT}/tools/mkcat/mkcat.py)
  pdkit_sign_command(sign IN ${unsigned} OUT ${dest}/${catalog} DESCRIPTION "${inf_name} driver package")
  add_custom_command(
    OUTPUT ${dest}/${catalog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/catalogs
    COMMAND ${PDKIT_CATALOG_PYTHON} ${mkcat} --inf ${dest}/${inf_name} --arch ${arch} --out ${unsigned}
    ${sign}
    DEPENDS ${dest}/${inf_name} ${depends} ${mkcat} ${PDKIT_SOURCE_ROOT}/tools/mkcat/catalog_asn1.py
            ${PDKIT_IMAGE_SET_CERT_FILES}
    COMMENT "Making the catalog ${catalog} of ${inf_name}"
    VERBATIM)
  set(${outputs_var} ${${outputs_var}} ${dest}/${catalog} PARENT_SCOPE)
endfunction()

function(_pdkit_collect_executables dir out)
  set(found "")
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(image ${target} PDKIT_DRIVER_IMAGE)
    if(type STREQUAL "EXECUTABLE" AND NOT image)
      list(APPEND found ${target})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    _pdkit_collect_executables(${subdir} more)
    list(APPEND found ${more})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

function(_pdkit_stage_signed target dest description outputs_var)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  get_target_property(suffix ${target} SUFFIX)
  if(NOT suffix)
    set(suffix ${CMAKE_EXECUTABLE_SUFFIX})
  endif()
  set(out ${dest}/${name}${suffix})
  pdkit_sign_command(sign IN $<TARGET_FILE:${target}> OUT ${out} DESCRIPTION "${description}")
  set(staged ${out})
  set(copy_map "")
  get_target_property(map ${target} PDKIT_LINKER_MAP)
  if(map)
    list(APPEND staged ${dest}/${name}.map)
    set(copy_map COMMAND ${CMAKE_COMMAND} -E copy ${map} ${dest}/${name}.map)
  endif()
  get_target_property(pdb ${target} PDKIT_PDB)
  if(pdb)
    list(APPEND staged ${dest}/${name}.pdb)
    list(APPEND copy_map COMMAND ${CMAKE_COMMAND} -E copy ${pdb} ${dest}/${name}.pdb)
  endif()
  add_custom_command(
    OUTPUT ${staged}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dest}
    ${sign}
    ${copy_map}
    DEPENDS ${target} ${PDKIT_IMAGE_SET_CERT_FILES}
    COMMENT "Staging ${name}${suffix}"
    VERBATIM)
  set(${outputs_var} ${${outputs_var}} ${staged} PARENT_SCOPE)
endfunction()

function(_pdkit_stage_image_set)
  set(dest ${CMAKE_BINARY_DIR}/images)
  pdkit_test_certificate_rule(PDKIT_IMAGE_SET_CERT_FILES)
  set(outputs "")

  get_property(drivers GLOBAL PROPERTY PDKIT_DRIVER_IMAGES)
  foreach(target IN LISTS drivers)
    _pdkit_stage_signed(${target} ${dest} "${target} pseudo-device driver" outputs)
  endforeach()

  set(driver_outputs ${outputs})

  _pdkit_collect_executables(${CMAKE_SOURCE_DIR} programs)
  foreach(target IN LISTS programs)
    get_target_property(fixture ${target} PDKIT_TEST_FIXTURE)
    if(fixture)
      _pdkit_stage_signed(${target} ${dest}/test-fixtures "${target} (test fixture)" outputs)
    else()
      _pdkit_stage_signed(${target} ${dest} "${target}" outputs)
    endif()
  endforeach()

  get_property(files GLOBAL PROPERTY PDKIT_IMAGE_SET_FILES)
  foreach(file IN LISTS files)
    get_filename_component(name ${file} NAME)
    add_custom_command(OUTPUT ${dest}/${name}
      COMMAND ${CMAKE_COMMAND} -E copy ${file} ${dest}/${name}
      DEPENDS ${file} VERBATIM)
    list(APPEND outputs ${dest}/${name})
    if(name MATCHES "\\.[iI][nN][fF]$")
      if(NOT PDKIT_CATALOG_PYTHON)
        _pdkit_find_catalog_python(PDKIT_CATALOG_PYTHON)
      endif()
      _pdkit_stage_catalog(${file} ${dest} "${driver_outputs}" outputs)
    endif()
  endforeach()

  if(PDKIT_TEST_SIGN)
    add_custom_command(OUTPUT ${dest}/pdkit-test-signing.cer
      COMMAND ${CMAKE_COMMAND} -E copy ${PDKIT_TESTSIGN_CER} ${dest}/pdkit-test-signing.cer
      DEPENDS ${PDKIT_TESTSIGN_CER} VERBATIM)
    list(APPEND outputs ${dest}/pdkit-test-signing.cer)
  endif()

  add_custom_target(image_set ALL DEPENDS ${outputs})
endfunction()

# Runs in the top-level directory after its last line, when every target exists.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _pdkit_stage_image_set)

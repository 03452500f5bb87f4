# The image set: everything a Windows test machine needs, gathered in
# <build>/images/ by the target `image_set` (part of `all`):
#
#   <driver>.sys  <driver>.map   each driver image, test-signed, and its
#                                linker map (addresses for crash analysis)
#   <tool>.exe                   every Windows executable of the build, test-signed
#   *.inf                        the install files registered with
#                                pdkit_image_set_files()
#   pdkit-test-signing.cer       the certificate to trust on the test machine
#   test-fixtures/               images built only to test the image pipeline
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
    get_target_property(fixture ${target} PDKIT_TEST_FIXTURE)
    if(fixture)
      _pdkit_stage_signed(${target} ${dest}/test-fixtures "${target} (test fixture)" outputs)
    else()
      _pdkit_stage_signed(${target} ${dest} "${target} pseudo-device driver" outputs)
    endif()
  endforeach()

  _pdkit_collect_executables(${CMAKE_SOURCE_DIR} programs)
  foreach(target IN LISTS programs)
    _pdkit_stage_signed(${target} ${dest} "${target}" outputs)
  endforeach()

  get_property(files GLOBAL PROPERTY PDKIT_IMAGE_SET_FILES)
  foreach(file IN LISTS files)
    get_filename_component(name ${file} NAME)
    add_custom_command(OUTPUT ${dest}/${name}
      COMMAND ${CMAKE_COMMAND} -E copy ${file} ${dest}/${name}
      DEPENDS ${file} VERBATIM)
    list(APPEND outputs ${dest}/${name})
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

# Post-link check of a driver image, run by wdm_image() as
#   cmake -DMAP=<image>.map -DIMAGE=<image>.sys -DPOINTER_SIZE=<4|8> -P CheckImageMap.cmake
#
# A kernel image has no C runtime to run global constructors: a namespace-
# scope object with a constructor would silently stay unconstructed. The
# linker brackets the constructor list with two sentinel words between
# __CTOR_LIST__ and __DTOR_LIST__; anything more is a constructor.
foreach(var MAP IMAGE POINTER_SIZE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckImageMap.cmake: ${var} is not set")
  endif()
endforeach()
if(NOT EXISTS "${MAP}")
  message(FATAL_ERROR "${IMAGE}: linker map ${MAP} is missing; the link must pass -Wl,-Map")
endif()

file(STRINGS "${MAP}" lines REGEX "^[ \t]+0x[0-9a-fA-F]+[ \t]+__(CTOR|DTOR)_LIST__ = \\.")
foreach(line IN LISTS lines)
  if(line MATCHES "0x([0-9a-fA-F]+)[ \t]+__(CTOR|DTOR)_LIST__")
    set(addr_${CMAKE_MATCH_2} "0x${CMAKE_MATCH_1}")
  endif()
endforeach()
if(NOT DEFINED addr_CTOR OR NOT DEFINED addr_DTOR)
  message(FATAL_ERROR "${IMAGE}: ${MAP} has no __CTOR_LIST__/__DTOR_LIST__ entries; cannot check for global constructors")
endif()

math(EXPR list_bytes "${addr_DTOR} - ${addr_CTOR}")
math(EXPR sentinel_bytes "2 * ${POINTER_SIZE}")
if(NOT list_bytes EQUAL sentinel_bytes)
  math(EXPR count "(${list_bytes} - ${sentinel_bytes}) / ${POINTER_SIZE}")
  message(FATAL_ERROR
    "${IMAGE} has ${count} global constructor(s). Nothing runs constructors in a "
    "kernel image: make the object constant-initialised (constexpr/POD) or set it "
    "up in DriverEntry. The .ctors entries are listed in ${MAP}.")
endif()

# Post-link check of a driver image, run by wdm_image() as
#   cmake -DMAP=<image>.map -DIMAGE=<image>.sys -P CheckImageMap.cmake
#
# A kernel image has no C runtime to run global constructors: a namespace-
# scope object with a constructor would silently stay unconstructed. The
# compiler refuses them already (-Werror=global-constructors); this check
# reads what the linker actually placed: any input section of a constructor
# or destructor list (.ctors, .dtors, .CRT$XC*, .CRT$XT*) of nonzero size in
# lld's map ("<address> <size> <align> <object>:(<section>)").
foreach(var MAP IMAGE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckImageMap.cmake: ${var} is not set")
  endif()
endforeach()
if(NOT EXISTS "${MAP}")
  message(FATAL_ERROR "${IMAGE}: linker map ${MAP} is missing; the link must pass -Wl,-Map")
endif()

file(STRINGS "${MAP}" header LIMIT_COUNT 1)
if(NOT header MATCHES "^Address +Size +Align +Out +In +Symbol")
  message(FATAL_ERROR "${IMAGE}: ${MAP} is not a map lld wrote; cannot check for global constructors")
endif()

file(STRINGS "${MAP}" lines REGEX ":\\((\\.ctors|\\.dtors|\\.CRT\\$X[CT])")
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ +([0-9a-fA-F]+) " AND NOT CMAKE_MATCH_1 MATCHES "^0+$")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(count GREATER 0)
  message(FATAL_ERROR
    "${IMAGE} has ${count} constructor or destructor list section(s). Nothing runs "
    "constructors in a kernel image: make the object constant-initialised "
    "(constexpr/POD) or set it up in DriverEntry. The sections are listed in ${MAP}.")
endif()

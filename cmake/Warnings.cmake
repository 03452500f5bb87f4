# High, fatal warnings for the project's own code.
function(pdkit_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Werror)
endfunction()

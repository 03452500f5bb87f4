# PDKIT_PYTHON_PEFILE: a Python 3 interpreter that can import pefile (the
# Debian package python3-pefile), for the image build's checksum step and
# the image tests. Debian's own interpreter is preferred over one earlier on
# PATH (pyenv, a virtual environment) that lacks the system's packages.
include_guard(GLOBAL)

function(_pdkit_find_python_pefile)
  if(PDKIT_PYTHON_PEFILE)
    return()
  endif()
  find_program(_pdkit_python3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  if(NOT _pdkit_python3)
    find_program(_pdkit_python3 python3)
  endif()
  if(_pdkit_python3)
    execute_process(COMMAND ${_pdkit_python3} -c "import pefile" RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
    if(NOT failed)
      set(PDKIT_PYTHON_PEFILE ${_pdkit_python3} CACHE FILEPATH "Python 3 with pefile")
    endif()
  endif()
endfunction()
_pdkit_find_python_pefile()

# Every target of ours compiles warning-clean with these; TAVRO_WERROR makes a warning fatal.
function(tavro_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(TAVRO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

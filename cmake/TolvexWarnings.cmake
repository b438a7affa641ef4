# tolvex_enable_warnings(target): the warning set every target of the project builds with.
function(tolvex_enable_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${TOLVEX_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wconversion -Wshadow -Wnon-virtual-dtor
                                             $<$<BOOL:${TOLVEX_WERROR}>:-Werror>)
  endif()
endfunction()

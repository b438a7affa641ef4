# tolvex_enable_sanitizers(target): builds the target with the sanitizers named in TOLVEX_SANITIZE.
function(tolvex_enable_sanitizers target)
  if(TOLVEX_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=${TOLVEX_SANITIZE} -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=${TOLVEX_SANITIZE})
  endif()
endfunction()

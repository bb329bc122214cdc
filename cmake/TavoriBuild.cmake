# Compiler settings shared by every target of the project.

# Warnings are errors everywhere; third-party headers come in as system headers.
set(TAVORI_WARNINGS -Wall -Wextra -Wpedantic -Werror -Wnon-virtual-dtor
    -Woverloaded-virtual -Wimplicit-fallthrough)

if(TAVORI_SANITIZE)
  set(_san -fsanitize=${TAVORI_SANITIZE} -fno-omit-frame-pointer)
  if(TAVORI_SANITIZE MATCHES "undefined")
    list(APPEND _san -fno-sanitize-recover=all)
  endif()
  add_compile_options(${_san})
  add_link_options(${_san})
endif()

# Every target of ours calls this to get the project's warning set.
function(tavori_target_defaults target)
  target_compile_options(${target} PRIVATE ${TAVORI_WARNINGS})
endfunction()

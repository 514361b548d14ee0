# Strict warnings for the project's own targets only; third-party code is
# compiled with its own flags. Tables name the fields a row sets and leave the
# others to their defaults, so a field left out is no warning. -Wcomma (clang)
# keeps statements from being packed into one with the comma operator.
function(kesu_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
    -Woverloaded-virtual -Wcast-align -Wformat=2 -Wno-missing-field-initializers)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety -Wcomma)
  endif()
  if(IPC_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

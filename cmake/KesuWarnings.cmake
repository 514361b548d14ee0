# Strict warnings for the project's own targets only; third-party code is
# compiled with its own flags.
function(kesu_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
    -Woverloaded-virtual -Wcast-align -Wformat=2)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
  if(IPC_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

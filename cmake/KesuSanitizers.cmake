# IPC_SANITIZE applies to every target of the build, so that the library's
# headers, the platform layer and the tests are instrumented alike.
if(IPC_SANITIZE)
  set(_kesu_san_flags -fsanitize=${IPC_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_compile_options(${_kesu_san_flags})
  add_link_options(${_kesu_san_flags})
endif()

# Warnings stay on for every target of the project; CI makes them errors (KARVEL_WERROR, which
# .ci/run sets), so a warning never lands.
option(KARVEL_WERROR "Treat compiler warnings as errors" OFF)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra)
  if(KARVEL_WERROR)
    add_compile_options(-Werror)
  endif()
endif()

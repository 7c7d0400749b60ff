# KARVEL_SANITIZE=address,undefined builds everything with those sanitizers; any UB finding aborts,
# so a test run under them fails instead of printing a report and passing.
set(KARVEL_SANITIZE "" CACHE STRING "Comma-separated -fsanitize= list (empty: none)")
if(KARVEL_SANITIZE)
  add_compile_options(-fsanitize=${KARVEL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KARVEL_SANITIZE})
endif()

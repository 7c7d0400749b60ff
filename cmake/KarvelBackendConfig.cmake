# find_package(KarvelBackend): the karvel back-end kit for C++, the INTERFACE target
# Karvel::backend (C++17; `#include "karvel_backend.h"`, "karvel_cp932.h").
#   find_package(KarvelBackend 1.0 REQUIRED)
#   target_link_libraries(my_backend PRIVATE Karvel::backend)
include("${CMAKE_CURRENT_LIST_DIR}/KarvelBackendTargets.cmake")

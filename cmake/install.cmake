# `make install` (DESTDIR and CMAKE_INSTALL_PREFIX honoured) and the Debian package, which uses it:
# the Apache module, the extension and its libraries, the emitstatus command, the back-end kits and,
# unless KARVEL_INSTALL_SYSTEM_FILES is off (the package installs those its own way), Apache's
# .load and .conf files and the tmpfiles.d entry of the temporary directory.
include(GNUInstallDirs)
option(KARVEL_INSTALL_SYSTEM_FILES "Install karvel.load, karvel.conf and the tmpfiles.d entry" ON)
set(KARVEL_LIB_DIR "lib/karvel" CACHE STRING "Where the extension and its libraries go (below the prefix)")
set(KARVEL_PYTHON_DIR "lib/python3/dist-packages" CACHE STRING "Where the Python kit goes (below the prefix)")
# Apache's own module directory where the prefix is Apache's; below the prefix elsewhere.
set(default_module_dir "lib/apache2/modules")
find_program(KARVEL_APXS apxs PATHS /usr/bin /usr/sbin)
if(KARVEL_APXS AND CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  execute_process(COMMAND ${KARVEL_APXS} -q LIBEXECDIR OUTPUT_VARIABLE default_module_dir
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(KARVEL_APACHE_MODULE_DIR "${default_module_dir}" CACHE STRING "Apache's module directory")

foreach(dir KARVEL_LIB_DIR KARVEL_APACHE_MODULE_DIR)
  if(IS_ABSOLUTE "${${dir}}")
    set(${dir}_FULL "${${dir}}")
  else()
    set(${dir}_FULL "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()

install(TARGETS jpcodec VC_KARVEL2_plain EMITSTATUS LIBRARY DESTINATION ${KARVEL_LIB_DIR})
install(TARGETS VC_KARVEL2_debug_copy LIBRARY DESTINATION ${KARVEL_LIB_DIR}/debug-copy)
install(TARGETS emitstatus karvel-dump RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Makes the Wine prefix Windows back-ends run in (as root, for the server's user).
install(PROGRAMS host/tools/karvel-wine-setup DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES statusfile/emitstatus.1 tools/dump/karvel-dump.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES host/tools/karvel-wine-setup.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
# Every directive, its default and where it is valid (karvel.conf names it).
install(FILES host/module/mod_karvel.7 DESTINATION ${CMAKE_INSTALL_MANDIR}/man7)
if(TARGET mod_karvel)
  install(TARGETS mod_karvel LIBRARY DESTINATION ${KARVEL_APACHE_MODULE_DIR})
endif()
# The C++ kit as a developer builds against it, alone with `--component karvel-backend-dev`: its
# headers, karvel-backend.pc (pkg-config) and the CMake package KarvelBackend (the target
# Karvel::backend). Header only, so both lie below share/, found from any architecture.
set(KARVEL_KIT_COMPONENT karvel-backend-dev)
install(FILES backend/karvel_backend.h backend/karvel_cp932.h backend/karvel_cp932_table.h backend/karvel_exchange_layout.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/karvel COMPONENT ${KARVEL_KIT_COMPONENT})
install(TARGETS karvel_backend EXPORT KarvelBackendTargets COMPONENT ${KARVEL_KIT_COMPONENT})
set(KARVEL_KIT_CMAKE_DIR ${CMAKE_INSTALL_DATADIR}/cmake/KarvelBackend)
install(EXPORT KarvelBackendTargets NAMESPACE Karvel:: DESTINATION ${KARVEL_KIT_CMAKE_DIR}
        FILE KarvelBackendTargets.cmake COMPONENT ${KARVEL_KIT_COMPONENT})
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kit/KarvelBackendConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES cmake/KarvelBackendConfig.cmake ${CMAKE_BINARY_DIR}/kit/KarvelBackendConfigVersion.cmake
        DESTINATION ${KARVEL_KIT_CMAKE_DIR} COMPONENT ${KARVEL_KIT_COMPONENT})
# The .pc file names the prefix installed into (`cmake --install --prefix`, CMAKE_INSTALL_PREFIX;
# DESTDIR stays out of it), so it is written when the kit is installed.
set(KARVEL_KIT_PREFIX "@KARVEL_KIT_PREFIX@")
configure_file(cmake/karvel-backend.pc.in ${CMAKE_BINARY_DIR}/kit/karvel-backend.pc.in @ONLY)
install(CODE "set(KARVEL_KIT_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_BINARY_DIR}/kit/karvel-backend.pc.in\" \"${CMAKE_BINARY_DIR}/kit/karvel-backend.pc\" @ONLY)"
  COMPONENT ${KARVEL_KIT_COMPONENT})
install(FILES ${CMAKE_BINARY_DIR}/kit/karvel-backend.pc DESTINATION ${CMAKE_INSTALL_DATADIR}/pkgconfig
        COMPONENT ${KARVEL_KIT_COMPONENT})
install(FILES backend/python/karvel_backend.py DESTINATION ${KARVEL_PYTHON_DIR})

if(KARVEL_INSTALL_SYSTEM_FILES)
  set(KARVEL_APACHE_MODULE_FULL_DIR ${KARVEL_APACHE_MODULE_DIR_FULL})
  set(KARVEL_FULL_LIB_DIR ${KARVEL_LIB_DIR_FULL})
  set(KARVEL_DOC_DIR ${CMAKE_INSTALL_FULL_DOCDIR})
  configure_file(debian/karvel.load.in ${CMAKE_BINARY_DIR}/apache/karvel.load @ONLY)
  configure_file(debian/karvel.conf.in ${CMAKE_BINARY_DIR}/apache/karvel.conf @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/apache/karvel.load ${CMAKE_BINARY_DIR}/apache/karvel.conf
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/apache2/mods-available)
  install(FILES debian/libapache2-mod-karvel.tmpfiles DESTINATION lib/tmpfiles.d RENAME karvel.conf)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

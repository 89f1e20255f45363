# Installation and the Debian package.
#
# The programs go into one folder, the application folder (/opt/tarnwick by
# default); the engine keeps conf/, log/ and pull/ beside them.
#
#   cmake --install BUILD                      # into /opt/tarnwick
#   cmake --build BUILD --target package       # BUILD/tarnwick_<version>_<arch>.deb
#
# The package creates the group "tarnwick" (nobody is added to it), makes the
# three data folders, runs "TarnwickSvc -Service" and enables and starts the
# unit; removing it runs "TarnwickSvc -UnregServer" and keeps the data
# folders, which only a purge deletes.
set(TARNWICK_APP_DIR "/opt/tarnwick" CACHE PATH "Application folder the package installs into")
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "${TARNWICK_APP_DIR}" CACHE PATH "Install prefix" FORCE)
endif()

install(TARGETS TarnwickSvr TarnwickSvc RUNTIME DESTINATION .)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "tarnwick")
set(CPACK_PACKAGE_VERSION "1.0.0")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Varnholt Tarnwick Service: pulls outside mailboxes into the local mail server's queue")
set(CPACK_PACKAGING_INSTALL_PREFIX "${TARNWICK_APP_DIR}")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Varnholt Tarnwick <root@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION "mail")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_CURRENT_LIST_DIR}/debian/postinst;${CMAKE_CURRENT_LIST_DIR}/debian/prerm;${CMAKE_CURRENT_LIST_DIR}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# Builds the package and installs, removes and purges it in a throwaway root
# folder (takes a few minutes with a sanitizer build, so it is no ctest).
add_custom_target(package_test
  COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/package_test.sh ${PROJECT_BINARY_DIR}
  DEPENDS TarnwickSvr TarnwickSvc
  USES_TERMINAL)

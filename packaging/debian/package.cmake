# The Debian package, made by CPack from the install rules:
#   cpack --config build/CPackConfig.cmake -B build/package
# Its version is the project's, its dependencies come from dpkg-shlibdeps.
# `-D CPACK_DEBIAN_PACKAGE_RELEASE=N` makes a later revision of the same
# version.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME keyloom)
set(CPACK_PACKAGE_VENDOR "Keyloom Developers")
set(CPACK_PACKAGE_CONTACT "Keyloom Developers <maintainers@keyloom.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "certificate enrollment control for web pages")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Keyloom lets a bank's web pages make key pairs, send certificate requests
and install the certificates they get back, on the user's own machine.
Pages reach it over a WebSocket on the loopback interface: the agent
(keyloom agent) is started by systemd for each user when a page first
connects, and exits when idle. Only sites in the user's trusted-sites zone
are admitted.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://keyloom.example/")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
configure_file(${CMAKE_CURRENT_LIST_DIR}/postinst.in ${PACKAGING_DIR}/postinst @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/postrm ${PACKAGING_DIR}/postrm COPYONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PACKAGING_DIR}/postinst ${PACKAGING_DIR}/postrm)
include(CPack)

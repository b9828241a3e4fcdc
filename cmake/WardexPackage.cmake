# Install rules and Debian packages (CPack): `wardex` with its default
# deployment (a conffile) and the sample partition configurations, and
# `adaptive-sim`, the simulated platform for test benches, in a package of its
# own. Meant for the target presets (`target`, `target-arm64`): their platform
# files sit at the real paths. scripts/package builds the packages.
include(GNUInstallDirs)
# Installing builds nothing: scripts/package builds the two executables, not
# the tests, before it runs cpack.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Where the executables read the deployment: /etc/adaptive on the target,
# under the build's sysroot otherwise, whatever the installation prefix.
set(wardex_deployment_dir "${WARDEX_SYSROOT}/etc/adaptive")
set(wardex_doc_dir "${CMAKE_INSTALL_DATAROOTDIR}/doc/wardex")

install(TARGETS wardex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT wardex)
install(FILES config/com_deployment.json DESTINATION ${wardex_deployment_dir} COMPONENT wardex)
file(GLOB wardex_sample_configurations ${PROJECT_SOURCE_DIR}/config/Wardex_InitialData*.json)
install(FILES ${wardex_sample_configurations} DESTINATION ${wardex_doc_dir}/examples COMPONENT wardex)
install(FILES README.md docs/target.md docs/configuration.md docs/deployment.md
        DESTINATION ${wardex_doc_dir} COMPONENT wardex)
install(TARGETS adaptive-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wardex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Wardex developers <wardex@example.com>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL wardex sim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_CROSSCOMPILING)
  # The Debian architecture of the cross compiler's target (arm64). Named to
  # dpkg-shlibdeps as the host architecture, it reads the executables with
  # that architecture's objdump and finds their libraries, and the packages
  # that hold them, in its multiarch directory.
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE wardex_deb_architecture OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${wardex_deb_architecture})
  file(WRITE ${CMAKE_BINARY_DIR}/debian/cpack-cross.cmake "set(ENV{DEB_HOST_ARCH} ${wardex_deb_architecture})\n")
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/debian/cpack-cross.cmake)
endif()

set(CPACK_DEBIAN_WARDEX_PACKAGE_NAME wardex)
# Descriptions: the summary line, then the text (dpkg's indentation is added).
set(CPACK_DEBIAN_WARDEX_DESCRIPTION "Supervision application for an AUTOSAR-Adaptive-style ECU platform
Counts supervision failures against each application's error budget and
reacts: log entries, measured values, DTC verdicts, restart or stop through
execution management, or a platform reset. Offers a DTC monitor and a UDS
data identifier over SOME/IP.")
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "${wardex_deployment_dir}/com_deployment.json\n")
set(CPACK_DEBIAN_WARDEX_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)

set(CPACK_DEBIAN_SIM_PACKAGE_NAME adaptive-sim)
set(CPACK_DEBIAN_SIM_DESCRIPTION "Simulated AUTOSAR-Adaptive platform for Wardex test benches
PHM, execution management, state manager, diagnostic event manager and a
diagnostic tester, on the platform's sockets and SOME/IP.")

include(CPack)

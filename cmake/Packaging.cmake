# Debian packages, split as Debian splits a library project: one runtime
# package per shared library (named after its soname), one development package
# per library, and the programs.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvkit)
set(CPACK_PACKAGE_VENDOR "orvkit developers")
set(CPACK_PACKAGE_CONTACT "orvkit developers <orvkit@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "PTP host time tools and libraries")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# Dependencies on system libraries come from the binaries themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/lib/orv ${PROJECT_BINARY_DIR}/lib/vexa)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_COMPONENTS_ALL orv_runtime orv_dev vexa_runtime vexa_dev tools)

set(CPACK_DEBIAN_ORV_RUNTIME_PACKAGE_NAME liborv0.7)
set(CPACK_COMPONENT_ORV_RUNTIME_DESCRIPTION
    "PTP host time library: hardware timestamping and TAI offset access")
set(CPACK_DEBIAN_ORV_RUNTIME_PACKAGE_SECTION libs)

set(CPACK_DEBIAN_ORV_DEV_PACKAGE_NAME liborv-dev)
set(CPACK_COMPONENT_ORV_DEV_DESCRIPTION "liborv development files: headers, pkg-config, CMake package")
set(CPACK_COMPONENT_ORV_DEV_DEPENDS orv_runtime)
set(CPACK_DEBIAN_ORV_DEV_PACKAGE_SECTION libdevel)

set(CPACK_DEBIAN_VEXA_RUNTIME_PACKAGE_NAME libvexa0.7)
set(CPACK_COMPONENT_VEXA_RUNTIME_DESCRIPTION "Client library for the host's PTP monitor daemon")
set(CPACK_DEBIAN_VEXA_RUNTIME_PACKAGE_SECTION libs)

set(CPACK_DEBIAN_VEXA_DEV_PACKAGE_NAME libvexa-dev)
set(CPACK_COMPONENT_VEXA_DEV_DESCRIPTION "libvexa development files: headers, pkg-config, CMake package")
set(CPACK_COMPONENT_VEXA_DEV_DEPENDS vexa_runtime)
set(CPACK_DEBIAN_VEXA_DEV_PACKAGE_SECTION libdevel)
# The public headers use Boost.Asio and GSL, and accept only the Boost that
# libvexa was built with.
set(vexa_boost "${Boost_VERSION_MAJOR}.${Boost_VERSION_MINOR}")
set(CPACK_DEBIAN_VEXA_DEV_PACKAGE_DEPENDS
    "libboost${vexa_boost}-dev, libboost-system${vexa_boost}-dev, libmsgsl-dev")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME orvkit-tools)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "PTP host time tools: nicmark, leapset, timepeek, vexawatch, orvcheck")
set(CPACK_COMPONENT_TOOLS_DEPENDS orv_runtime vexa_runtime)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)

include(CPack)

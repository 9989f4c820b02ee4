# A Debian package of everything that is installed: cpack -G DEB in the build directory.
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR "The quorvane authors")
# Whoever builds packages for others names themselves here (-DQUORVANE_MAINTAINER=...).
set(QUORVANE_MAINTAINER "quorvane developers <devel@quorvane.org>" CACHE STRING
    "The Debian package's maintainer: a name and an address that reaches them")
set(CPACK_PACKAGE_CONTACT "${QUORVANE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "DS1621 thermometer on a parallel port, GPIO or I2C, with bus traces and charts")
# The long description below the summary, as Debian shows it: lines within 80 columns.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "quorvane reads a DS1621-type digital thermometer wired to a PC parallel port
through a small adapter, to two GPIO lines of a board such as a Raspberry Pi,
or to an I2C bus, and prints one line per measurement in Celsius, Fahrenheit
or Kelvin, optionally appending them to a log file. quorvane_gpio drives the
two-wire bus on two lines of a board's GPIO header or of a USB adapter (group
gpio, no root); quorvane_i2c reads the chip through the kernel's I2C adapters
(group i2c). quorvane_ppdev reaches any parallel port the kernel knows, PCIe
cards included, through its parport driver (group lp, no root); on x86,
quorvane_unix uses raw port instructions at 0x378. quorvane_sim runs the same
program against a simulated port and thermometer.
.
quorvane_trace records the bus waveform of a measurement as a VCD file for
PulseView, GTKWave or sigrok-cli, and quorvane-plot draws a chart of a log with
gnuplot. quorvane-export passes each reading on the moment it is measured, as
a line for the journal, as JSON, and as Prometheus metrics for node_exporter's
text-file collector; quorvane.service runs it at boot once enabled.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY quorvane)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A cross build makes the package of the machine it builds for (cmake/toolchain-arm64.cmake), not
# of this one; dpkg-shlibdeps then reads each program's own libraries, that machine's multiarch
# ones, for the dependencies.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    message(WARNING "dpkg-architecture (package dpkg-dev) names no Debian architecture for "
                    "${CMAKE_LIBRARY_ARCHITECTURE}: the package would be labelled for this machine")
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# The charts need gnuplot; everything else runs without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnuplot-nox | gnuplot")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pulseview | gtkwave, sigrok-cli, prometheus-node-exporter")
if(QUORVANE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
# The service's user on installation; the service stopped on removal, its logs gone on purge.
foreach(script prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/deb/${script}.in ${PROJECT_BINARY_DIR}/deb/${script}
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                        WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/deb/postinst
    ${PROJECT_BINARY_DIR}/deb/prerm ${PROJECT_BINARY_DIR}/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The licence in Debian's machine-readable form and the package's changelog, compressed as
# Debian compresses it (gzip -9n: no name or time in the header).
set(QUORVANE_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
configure_file(packaging/deb/changelog.in changelog.Debian @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.Debian.gz
  COMMAND sh -c "gzip -9n -c changelog.Debian > changelog.Debian.gz"
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  DEPENDS ${PROJECT_BINARY_DIR}/changelog.Debian VERBATIM)
add_custom_target(quorvane_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
install(FILES packaging/deb/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/deb/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME quorvane)

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)

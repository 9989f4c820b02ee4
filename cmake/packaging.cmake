# A Debian package of everything that is installed: cpack -G DEB in the build directory.
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR "quorvane developers")
set(CPACK_PACKAGE_CONTACT "quorvane developers <quorvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "DS1621 thermometer on the PC parallel port, with bus traces and log charts")
set(CPACK_PACKAGE_DESCRIPTION
    "quorvane reads a DS1621-type digital thermometer wired to the first parallel port through \
a small adapter, driving its two-wire bus itself, and prints one line per measurement in \
Celsius, Fahrenheit or Kelvin, optionally appending them to a log file. quorvane_sim runs the \
same program against a simulated port and thermometer. quorvane_trace records the bus waveform \
of a measurement as a VCD file for PulseView, GTKWave or sigrok-cli, and quorvane-plot draws a \
chart of a log with gnuplot.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY quorvane)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# The charts need gnuplot; everything else runs without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnuplot-nox | gnuplot")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pulseview | gtkwave, sigrok-cli")
find_program(QUORVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QUORVANE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)

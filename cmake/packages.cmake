# Every package the build can do without, found here, quietly, in one way per kind: CMake's own
# package files, pkg-config modules, programs on the path. The programs build on a bare compiler;
# whatever needs a missing package is left out where it is declared, and says so through
# quorvane_missing_package(), naming the Debian package. scripts/test installs them all and sets
# QUORVANE_REQUIRE_ALL_TESTS, so that in CI nothing goes missing unnoticed.
option(QUORVANE_REQUIRE_ALL_TESTS
       "Fail to configure when a package some tests or benchmarks need is missing" OFF)
function(quorvane_missing_package what)
  if(QUORVANE_REQUIRE_ALL_TESTS)
    message(FATAL_ERROR "${what}")
  else()
    message(WARNING "${what}")
  endif()
endfunction()

# A folder that needs a package (found below): added where the package is there.
function(quorvane_add_where_found folder package missing)
  if(${package}_FOUND)
    add_subdirectory(${folder})
  else()
    quorvane_missing_package("${missing}")
  endif()
endfunction()

# Libraries with CMake package files.
if(QUORVANE_TESTS AND BUILD_TESTING)
  find_package(GTest QUIET)                # libgtest-dev, libgmock-dev
  find_package(PNG QUIET)                  # libpng-dev
  find_package(nlohmann_json QUIET)        # nlohmann-json3-dev
endif()
if(QUORVANE_BENCH)
  find_package(benchmark QUIET)            # libbenchmark-dev
endif()

# Libraries through pkg-config (pkg-config): quorvane-export's MQTT client.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(MOSQUITTO QUIET IMPORTED_TARGET libmosquitto)  # libmosquitto-dev
endif()

# Programs and files that tests run or load.
# quorvane_sim sleeps a real second per measurement; tests that run it whole use libfaketime's
# accelerated clock, so that minutes pass in seconds.
find_file(QUORVANE_LIBFAKETIME libfaketime.so.1                   # faketime
  PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/faketime /usr/lib/faketime /usr/local/lib/faketime
  NO_DEFAULT_PATH)
find_program(QUORVANE_SYSTEMD_ANALYZE systemd-analyze)             # systemd
find_program(QUORVANE_NODE_EXPORTER prometheus-node-exporter)      # prometheus-node-exporter
find_program(QUORVANE_PROMETHEUS prometheus)                       # prometheus
find_program(QUORVANE_PROMTOOL promtool)                           # prometheus
find_program(QUORVANE_CURL curl)                                   # curl
find_program(QUORVANE_MOSQUITTO mosquitto PATHS /usr/sbin)         # mosquitto
find_program(QUORVANE_MOSQUITTO_PASSWD mosquitto_passwd)           # mosquitto-clients
find_program(QUORVANE_OPENSSL openssl)                             # openssl
find_program(QUORVANE_GNUPLOT gnuplot)                             # gnuplot-nox
find_program(QUORVANE_XMLLINT xmllint)                             # libxml2-utils
find_program(QUORVANE_SIGROK_CLI sigrok-cli)                       # sigrok-cli
find_program(QUORVANE_JQ jq)                                       # jq
find_program(QUORVANE_QEMU qemu-system-x86_64)                     # qemu-system-x86
find_program(QUORVANE_QEMU_ARM64 qemu-system-aarch64)              # qemu-system-arm
find_program(QUORVANE_CPIO cpio)                                   # cpio
find_program(QUORVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)               # dpkg-dev

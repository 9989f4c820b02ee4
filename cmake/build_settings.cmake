# How our code is compiled, carried by targets. Every target of ours calls quorvane_settings(),
# which links the warnings and the floating-point rules; a library passes them on (PUBLIC) to
# whatever links it, since its consumers compile its inline code. Link-time optimisation and the
# loop flags go only on the targets named where they are made.

# Warnings, and errors under QUORVANE_WERROR.
add_library(quorvane_warnings INTERFACE)
target_compile_options(quorvane_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
  -Wnon-virtual-dtor -Woverloaded-virtual)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  # GCC 12 reports overlapping copies inside std::string concatenation at -O3 that cannot
  # happen (its bug 105651).
  target_compile_options(quorvane_warnings INTERFACE -Wno-restrict)
endif()
if(QUORVANE_WERROR)
  target_compile_options(quorvane_warnings INTERFACE -Werror)
endif()
if((QUORVANE_SANITIZE OR QUORVANE_FUZZ) AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC's may-be-uninitialized analysis misreads the instrumented code (it flags libstdc++'s
  # own regex); the uninstrumented build keeps the warning, and the sanitizers check the rest.
  target_compile_options(quorvane_warnings INTERFACE -Wno-maybe-uninitialized)
endif()

# Readings must come out bit for bit the same on every build: no contraction of a multiply and
# an add into one rounding, no fast-math, no tuning for the build machine.
add_library(quorvane_floating_point INTERFACE)
target_compile_options(quorvane_floating_point INTERFACE -ffp-contract=off -fno-fast-math)

function(quorvane_settings)
  foreach(target IN LISTS ARGN)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      target_link_libraries(${target} PRIVATE quorvane_warnings quorvane_floating_point)
    elseif(type STREQUAL "INTERFACE_LIBRARY")
      target_link_libraries(${target} INTERFACE quorvane_warnings quorvane_floating_point)
    else()
      target_link_libraries(${target} PUBLIC quorvane_warnings quorvane_floating_point)
    endif()
  endforeach()
endfunction()

# The test kit's targets, whichever it makes, are held to the same rules.
function(quorvane_kit_settings)
  get_directory_property(targets DIRECTORY ${PROJECT_SOURCE_DIR}/tests/kit BUILDSYSTEM_TARGETS)
  quorvane_settings(${targets})
endfunction()

# The sanitizers and the fuzzer's coverage stay global: they must reach every object and every
# link, the test kit's and any target added later included, or a mixed build reports falsely or
# misses what it should find. The first report ends the run, so that no finding scrolls past
# unnoticed in a passing suite.
if(QUORVANE_SANITIZE OR QUORVANE_FUZZ)
  set(QUORVANE_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
                               -fno-omit-frame-pointer)
  add_compile_options(${QUORVANE_SANITIZER_FLAGS})
  add_link_options(${QUORVANE_SANITIZER_FLAGS})
endif()
if(QUORVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QUORVANE_FUZZ needs clang++ (libFuzzer)")
  endif()
  # Coverage feedback for the fuzzer in every library; the fuzz programs link the driver.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# The busy wait calls Input a thousand times per millisecond; across the link seam only link-time
# optimisation can inline the simulated port's read into that loop. It is made on the programs
# and on the libraries they are built from; tests and their kit gain nothing from it (and GCC 12
# warns falsely inside std::string under it).
set(QUORVANE_IPO OFF)
if(QUORVANE_LTO AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  include(CheckIPOSupported)
  check_ipo_supported(RESULT QUORVANE_IPO_OK OUTPUT QUORVANE_IPO_ERROR LANGUAGES CXX)
  if(QUORVANE_IPO_OK)
    set(QUORVANE_IPO ON)
  endif()
endif()
function(quorvane_link_time_optimised)
  set_target_properties(${ARGN} PROPERTIES INTERPROCEDURAL_OPTIMIZATION ${QUORVANE_IPO})
endfunction()

# The simulated busy wait: once the port's fast path is taken it stays taken to the wait's end.
# GCC then splits the loop (-fsplit-loops, by default in -O3 only) into one that merely counts the
# reads, and unrolls that (-funroll-loops, in no level by default), so that both optimised builds
# make a read cheaper than a bare volatile read. Neither flag reorders any arithmetic. Linked by
# the targets where that loop and the read inlined into it are compiled, and by the benchmark that
# times it against a bare loop.
add_library(quorvane_busy_wait_loops INTERFACE)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(quorvane_busy_wait_loops INTERFACE
    "$<$<CONFIG:Release,RelWithDebInfo>:-fsplit-loops;-funroll-loops>")
endif()

# Checks every build dependency before any target is defined, so that a
# missing one ends the configure step with one message naming the Debian
# packages to install, instead of a compiler error halfway through the build.
# scripts/install-deps.sh installs all of them.

set(gwcheck_missing_packages "")

# gwcheck_require_header(HEADER PACKAGE): HEADER must be on the include path.
function(gwcheck_require_header header package)
  string(MAKE_C_IDENTIFIER "GWCHECK_HAVE_${header}" variable)
  find_path(${variable} ${header})
  mark_as_advanced(${variable})
  if(NOT ${variable})
    unset(${variable} CACHE)  # searched again on the next configure
    list(APPEND gwcheck_missing_packages "${package} (for ${header})")
    set(gwcheck_missing_packages "${gwcheck_missing_packages}" PARENT_SCOPE)
  endif()
endfunction()

# gwcheck_require_package(NAME PACKAGE [COMPONENTS...]): find_package(NAME) must succeed.
function(gwcheck_require_package name package)
  find_package(${name} QUIET ${ARGN})
  if(NOT ${name}_FOUND)
    list(APPEND gwcheck_missing_packages "${package} (for ${name})")
    set(gwcheck_missing_packages "${gwcheck_missing_packages}" PARENT_SCOPE)
  endif()
endfunction()

# gwsim: scenario files and the event loop.
gwcheck_require_header(toml++/toml.h libtomlplusplus-dev)
gwcheck_require_header(asio.hpp libasio-dev)
if(GWCHECK_TESTS)
  gwcheck_require_package(GTest libgtest-dev)
  gwcheck_require_package(Python3 python3 COMPONENTS Interpreter)
endif()
if(GWCHECK_BENCH)
  gwcheck_require_package(benchmark libbenchmark-dev)
endif()

if(gwcheck_missing_packages)
  list(JOIN gwcheck_missing_packages ", " missing)
  message(FATAL_ERROR "Missing build dependencies: ${missing}. "
                      "Run scripts/install-deps.sh, which installs every package the build needs, "
                      "or apt-get install the packages named.")
endif()

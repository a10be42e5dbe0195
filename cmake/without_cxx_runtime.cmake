# gwcheck and libgwapi.so are C++ that needs nothing of the C++ runtime:
# failures travel through the exception framework's blocks (jumps), not C++
# exceptions; no type information is asked for; the heap is malloc's. So
# they are compiled without exceptions and RTTI, and linked with
# --as-needed: the C++ link still names libstdc++, libm and libgcc_s, and
# the linker records none of them, so a run loads only the C library
# (tests/install/check_install.sh checks it with ldd). A use of the runtime
# that creeps in brings libstdc++ back and fails that check. gwsim, the
# tests and the tools keep the runtime; the sanitizer build links as C++ as
# usual (its runtimes are C++).
set(GWCHECK_NO_CXX_RUNTIME_OPTIONS -fno-exceptions -fno-rtti)

# gwcheck_without_cxx_runtime(TARGET...)
function(gwcheck_without_cxx_runtime)
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE ${GWCHECK_NO_CXX_RUNTIME_OPTIONS})
    get_target_property(type ${target} TYPE)
    if(NOT type STREQUAL "STATIC_LIBRARY" AND NOT GWCHECK_SANITIZE)
      target_link_options(${target} PRIVATE LINKER:--as-needed)
    endif()
  endforeach()
endfunction()

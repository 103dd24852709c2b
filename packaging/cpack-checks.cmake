# Read by cpack before it packs. Without dpkg-shlibdeps the package would name
# none of the libraries it links to, and install as if it needed no Qt.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(LQS_SHLIBDEPS dpkg-shlibdeps)
  if(NOT LQS_SHLIBDEPS)
    message(FATAL_ERROR "dpkg-shlibdeps is missing; install it with: scripts/deps dpkg-dev")
  endif()
endif()

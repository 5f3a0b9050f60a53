# cpp-httplib as the target httplib::httplib, linked the way its package says.
#
# Upstream's CMake package where a distribution ships one (it brings its own
# dependencies). Debian builds cpp-httplib as a shared library with meson and
# ships a pkg-config file only; its Cflags switch on the header's OpenSSL code
# (-DCPPHTTPLIB_OPENSSL_SUPPORT), and the header calls OpenSSL from inline
# functions (0.18's thread pool calls OPENSSL_thread_stop), so every program
# that includes it links OpenSSL itself. The pkg-config file names OpenSSL
# only under Requires.private, which counts for static links alone: Debian
# 13's programs then fail to link ("DSO missing from command line").

find_package(httplib CONFIG QUIET)
if(NOT TARGET httplib::httplib)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  add_library(qb_httplib INTERFACE)
  add_library(httplib::httplib ALIAS qb_httplib)
  target_link_libraries(qb_httplib INTERFACE PkgConfig::HTTPLIB)
  if("-DCPPHTTPLIB_OPENSSL_SUPPORT" IN_LIST HTTPLIB_CFLAGS_OTHER)
    find_package(OpenSSL REQUIRED)
    target_link_libraries(qb_httplib INTERFACE OpenSSL::SSL OpenSSL::Crypto)
  endif()
  message(STATUS "cpp-httplib ${HTTPLIB_VERSION} (pkg-config): ${HTTPLIB_CFLAGS_OTHER}")
endif()

# The hardening Debian builds its packages with, in every optimised build (not only
# the package's): fortified C library calls, a stack protector, full RELRO with
# immediate binding, and position-independent executables. Sanitizer and fuzzing
# builds go without: fortify hides the very calls they instrument.
if(CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$"
   AND NOT OVERLOOK_ASAN AND NOT OVERLOOK_TSAN AND NOT OVERLOOK_FUZZ)
  # -U first: a toolchain that already defines it would otherwise warn on every file.
  add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -fstack-protector-strong)
  add_link_options(-Wl,-z,relro,-z,now)
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()

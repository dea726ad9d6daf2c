# zq_debian_headers(TARGET SUBDIR HEADER PACKAGE): a header-only library from
# a Debian package, e.g. CLI/CLI.hpp from libcli11-dev. Both builds see it
# through a folder of the build holding a link to that package's headers
# alone, so the Windows build never searches the host's /usr/include.
function(zq_debian_headers target subdir header package)
  string(MAKE_C_IDENTIFIER "ZQ_${subdir}_INCLUDE" found)
  find_path(${found} ${subdir}/${header} PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ${found})
    message(FATAL_ERROR "${subdir}/${header} not found: install Debian's ${package}")
  endif()
  set(dir ${CMAKE_BINARY_DIR}/headers/${package})
  file(MAKE_DIRECTORY ${dir})
  file(CREATE_LINK ${${found}}/${subdir} ${dir}/${subdir} SYMBOLIC)
  target_include_directories(${target} SYSTEM PUBLIC ${dir})
endfunction()

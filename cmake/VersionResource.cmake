# zq_version_resource(TARGET DESCRIPTION): gives a Windows executable a version
# resource with the project's one version, so Explorer's Details tab and an
# installer's inventory show the same number as --version. The directory
# calling it has enabled RC (enable_language works only at file scope).
function(zq_version_resource target description)
  set(ZQ_RC_NAME ${target})
  set(ZQ_RC_FILE ${target}.exe)
  set(ZQ_RC_DESCRIPTION "${description}")
  set(ZQ_RC_TWEAK ${PROJECT_VERSION_TWEAK})
  if(NOT ZQ_RC_TWEAK)
    set(ZQ_RC_TWEAK 0)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/VersionResource.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

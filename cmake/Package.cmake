# Windows Installer packages, built with wixl from installer/QuorbelService.wxs.

find_program(QUORBEL_WIXL wixl REQUIRED)
set(QUORBEL_WXS ${CMAKE_SOURCE_DIR}/installer/QuorbelService.wxs)

# Adds a target that builds the package of the given version from this tree's two executables.
# wixl takes the files' Source paths only relative to its working directory, hence the cd.
function(quorbel_add_msi target version output)
  if(QUORBEL_ARCH STREQUAL "x64")
    set(wixl_arch x64)
  else()
    set(wixl_arch x86)
  endif()
  get_filename_component(output_dir ${output} DIRECTORY)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND ${QUORBEL_WIXL} -a ${wixl_arch} -D Arch=${QUORBEL_ARCH} -D Version=${version}
            -o ${output} ${QUORBEL_WXS}
    WORKING_DIRECTORY ${QUORBEL_DIST_DIR}
    DEPENDS ${QUORBEL_WXS} QuorbelService QuorbelServiceManager
    COMMENT "Building ${output}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

set(QUORBEL_MSI ${CMAKE_SOURCE_DIR}/dist/QuorbelService-${PROJECT_VERSION}-${QUORBEL_ARCH}.msi)
quorbel_add_msi(msi ${PROJECT_VERSION} ${QUORBEL_MSI})

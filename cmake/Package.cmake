# Windows Installer packages, built with wixl from installer/QuorbelService.wxs, and the Group
# Policy templates they install.

# The templates go to dist/policy (QuorbelService.admx, en-US/QuorbelService.adml), where the
# packages take them from too.
set(QUORBEL_POLICY_SOURCES ${CMAKE_SOURCE_DIR}/policy/QuorbelService.admx
                           ${CMAKE_SOURCE_DIR}/policy/en-US/QuorbelService.adml)
set(QUORBEL_POLICY_DIST_DIR ${CMAKE_SOURCE_DIR}/dist/policy)
set(QUORBEL_POLICY_OUTPUTS ${QUORBEL_POLICY_DIST_DIR}/QuorbelService.admx
                           ${QUORBEL_POLICY_DIST_DIR}/en-US/QuorbelService.adml)
add_custom_command(
  OUTPUT ${QUORBEL_POLICY_OUTPUTS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QUORBEL_POLICY_DIST_DIR}/en-US
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/policy/QuorbelService.admx
          ${QUORBEL_POLICY_DIST_DIR}/QuorbelService.admx
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/policy/en-US/QuorbelService.adml
          ${QUORBEL_POLICY_DIST_DIR}/en-US/QuorbelService.adml
  DEPENDS ${QUORBEL_POLICY_SOURCES}
  COMMENT "Copying the Group Policy templates to dist/policy"
  VERBATIM)
add_custom_target(policy_templates ALL DEPENDS ${QUORBEL_POLICY_OUTPUTS})

find_program(QUORBEL_WIXL wixl REQUIRED)
# wixl 0.101 knows no Execute="rollback" and makes such an action an immediate one; msibuild
# (msitools) marks the rollback actions as what they are afterwards.
find_program(QUORBEL_MSIBUILD msibuild REQUIRED)
# In-script rollback (0x500), no impersonation (0x800), return ignored (0x40), an executable
# installed by the package (18).
set(QUORBEL_ROLLBACK_TYPE 3410)
set(QUORBEL_WXS ${CMAKE_SOURCE_DIR}/installer/QuorbelService.wxs)

# Adds a target that builds the package of the given version from this tree's executables.
# wixl takes the files' Source paths only relative to its working directory, hence the cd. A
# fourth argument FORCE_REGISTRATION_FAILURE makes a package for the tests whose installation
# fails after it has registered the service.
function(quorbel_add_msi target version output)
  set(force_failure no)
  if(ARGV3 STREQUAL "FORCE_REGISTRATION_FAILURE")
    set(force_failure yes)
  endif()
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
            -D ForceRegistrationFailure=${force_failure} -o ${output} ${QUORBEL_WXS}
    COMMAND ${QUORBEL_MSIBUILD} ${output} -q
            "UPDATE `CustomAction` SET `Type` = ${QUORBEL_ROLLBACK_TYPE} WHERE `Action` = 'SvcInstallRollback' OR `Action` = 'SvcUninstallRollback'"
    WORKING_DIRECTORY ${QUORBEL_DIST_DIR}
    DEPENDS ${QUORBEL_WXS} QuorbelService QuorbelServiceConsole QuorbelServiceManager
            ${QUORBEL_POLICY_OUTPUTS}
    COMMENT "Building ${output}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

set(QUORBEL_MSI ${CMAKE_SOURCE_DIR}/dist/QuorbelService-${PROJECT_VERSION}-${QUORBEL_ARCH}.msi)
quorbel_add_msi(msi ${PROJECT_VERSION} ${QUORBEL_MSI})

# Installing zorflashlnx2 and packaging it as Debian packages.
#
#   cmake --install BUILD [--prefix DIR]   sbin/zorflashlnx2, share/man/man8/zorflashlnx2.8.gz,
#                                          share/doc/zorflashlnx2/{copyright,changelog.gz}
#   cd BUILD && cpack -G DEB               zorflashlnx2_1.33_amd64.deb, zorfldrv-dkms_1.33_all.deb,
#                                          zorvpc_1.33_amd64.deb
#
# Each package holds one install component: zorflashlnx2 the component "tool" (everything here),
# zorfldrv-dkms the component "dkms" (the module's source for DKMS, from kernel/, and its
# documentation here), zorvpc the component "vpc" (the virtual PC, for trials and for rehearsing a
# command on a twin of the machine before running it for real). Install rules of other parts of
# the tree stay out of all three.
#
# A default install holds the tool only. The virtual PC is installed on request:
#
#   cmake --install BUILD --component vpc [--prefix DIR]
#                                          libexec/zorvpc/{zorvpc,libzorvpc.so},
#                                          bin/zorvpc -> ../libexec/zorvpc/zorvpc,
#                                          share/man/man1/zorvpc.1.gz,
#                                          share/doc/zorvpc/{copyright,changelog.gz}

include(GNUInstallDirs)

set(ZORFL_PACKAGE_MAINTAINER "zorflashlnx2 maintainers <maintainers@zorflashlnx2.example>"
    CACHE STRING "Maintainer field of the Debian package")

# Debian wants 0755 directories whatever the umask of the person who builds the package.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(ZORFL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})
set(ZORFL_GEN_DIR ${CMAKE_BINARY_DIR}/packaging)
set(ZORFL_MAN_PAGE ${CMAKE_SOURCE_DIR}/man/zorflashlnx2.8)

find_program(GZIP_EXECUTABLE gzip REQUIRED)

# The copyright file, in the machine-readable format.
file(WRITE ${ZORFL_GEN_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: zorflashlnx2

Files: *
Copyright: 2026 The zorflashlnx2 developers
License: GPL-2.0-or-later

License: GPL-2.0-or-later
 This program is free software; you can redistribute it and/or modify
 it under the terms of the GNU General Public License as published by
 the Free Software Foundation; either version 2 of the License, or
 (at your option) any later version.
 .
 This program is distributed in the hope that it will be useful,
 but WITHOUT ANY WARRANTY; without even the implied warranty of
 MERCHANTABILITY or FITNESS FOR A PARTICULAR PURPOSE.  See the
 GNU General Public License for more details.
 .
 On Debian systems, the complete text of the GNU General Public
 License version 2 can be found in `/usr/share/common-licenses/GPL-2'.
")

# The packages' changelog. The version is native (no Debian revision), so it is changelog.gz.
file(WRITE ${ZORFL_GEN_DIR}/changelog
"zorflashlnx2 (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}: reads, saves, checks and reprograms the BIOS
    flash through the running BIOS's flash handler; manual page
    zorflashlnx2(8).
  * zorfldrv-dkms: the kernel module zorfldrv_mod, built by DKMS for every
    installed kernel and loaded by name.
  * zorvpc: the virtual PC that runs the unchanged tool on an emulated PC,
    and makes a twin of a real PC to rehearse a command on; manual page
    zorvpc(1).

 -- ${ZORFL_PACKAGE_MAINTAINER}  Wed, 09 Dec 2026 12:00:00 +0000
")

# Compressed at build time; -n keeps the name and time stamp out, so the output is reproducible.
set(ZORFL_MAN_GZ ${ZORFL_GEN_DIR}/zorflashlnx2.8.gz)
set(ZORFL_CHANGELOG_GZ ${ZORFL_GEN_DIR}/changelog.gz)
add_custom_command(OUTPUT ${ZORFL_MAN_GZ}
  COMMAND ${CMAKE_COMMAND} -E copy ${ZORFL_MAN_PAGE} ${ZORFL_GEN_DIR}/zorflashlnx2.8
  COMMAND ${GZIP_EXECUTABLE} -9nf ${ZORFL_GEN_DIR}/zorflashlnx2.8
  DEPENDS ${ZORFL_MAN_PAGE}
  COMMENT "Compressing the manual page"
  VERBATIM)
add_custom_command(OUTPUT ${ZORFL_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E copy ${ZORFL_GEN_DIR}/changelog ${ZORFL_GEN_DIR}/changelog.tmp
  COMMAND ${GZIP_EXECUTABLE} -9nf ${ZORFL_GEN_DIR}/changelog.tmp
  COMMAND ${CMAKE_COMMAND} -E rename ${ZORFL_GEN_DIR}/changelog.tmp.gz ${ZORFL_CHANGELOG_GZ}
  DEPENDS ${ZORFL_GEN_DIR}/changelog
  COMMENT "Compressing the package changelog"
  VERBATIM)
add_custom_target(zorfl_package_docs ALL DEPENDS ${ZORFL_MAN_GZ} ${ZORFL_CHANGELOG_GZ})

install(TARGETS zorflashlnx2 RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT tool)
install(FILES ${ZORFL_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT tool)
install(FILES ${ZORFL_GEN_DIR}/copyright ${ZORFL_CHANGELOG_GZ}
        DESTINATION ${ZORFL_DOC_DIR} COMPONENT tool)

# The module's package. Its source tree is installed by kernel/ under /usr/src/zorfldrv-VERSION,
# where DKMS looks for it by the name and version in dkms.conf; that version is the package's.
file(STRINGS ${CMAKE_SOURCE_DIR}/kernel/dkms.conf ZORFLDRV_VERSION REGEX "^PACKAGE_VERSION=")
string(REGEX REPLACE "^PACKAGE_VERSION=\"?([^\"]*)\"?$" "\\1" ZORFLDRV_VERSION "${ZORFLDRV_VERSION}")
if(NOT ZORFLDRV_VERSION STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "kernel/dkms.conf has version '${ZORFLDRV_VERSION}', the project ${PROJECT_VERSION}")
endif()
set(ZORFLDRV_DKMS_PACKAGE zorfldrv-dkms)
install(FILES ${ZORFL_GEN_DIR}/copyright ${ZORFL_CHANGELOG_GZ}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${ZORFLDRV_DKMS_PACKAGE}
        COMPONENT dkms EXCLUDE_FROM_ALL)
# The maintainer scripts register the source with DKMS, which builds and installs the module, and
# take it out again on removal.
set(DKMS_NAME zorfldrv)
set(DKMS_VERSION ${ZORFLDRV_VERSION})
foreach(script postinst prerm)
  configure_file(${CMAKE_SOURCE_DIR}/kernel/debian/${script}.in ${ZORFL_GEN_DIR}/dkms/${script} @ONLY)
endforeach()

# The virtual PC. zorvpc looks for libzorvpc.so beside its own file, symbolic links resolved, so
# both go into one private directory and bin/ gets a relative link to the launcher: the installed
# tree works from any prefix, and also after it is moved.
set(ZORVPC_MAN_PAGE ${CMAKE_SOURCE_DIR}/man/zorvpc.1)
set(ZORVPC_MAN_GZ ${ZORFL_GEN_DIR}/zorvpc.1.gz)
set(ZORVPC_INSTALL_DIR ${CMAKE_INSTALL_LIBEXECDIR}/zorvpc)
add_custom_command(OUTPUT ${ZORVPC_MAN_GZ}
  COMMAND ${CMAKE_COMMAND} -E copy ${ZORVPC_MAN_PAGE} ${ZORFL_GEN_DIR}/zorvpc.1
  COMMAND ${GZIP_EXECUTABLE} -9nf ${ZORFL_GEN_DIR}/zorvpc.1
  DEPENDS ${ZORVPC_MAN_PAGE}
  COMMENT "Compressing the manual page of zorvpc"
  VERBATIM)
add_custom_target(zorvpc_man ALL DEPENDS ${ZORVPC_MAN_GZ})

# The link is made at install time, where the prefix and DESTDIR are known.
file(CONFIGURE OUTPUT ${ZORFL_GEN_DIR}/install_zorvpc_link.cmake @ONLY CONTENT [[
set(zorvpc_bindir "@CMAKE_INSTALL_BINDIR@")
set(zorvpc_dir "@ZORVPC_INSTALL_DIR@")
foreach(var zorvpc_bindir zorvpc_dir)
  if(NOT IS_ABSOLUTE "${${var}}")
    set(${var} "${CMAKE_INSTALL_PREFIX}/${${var}}")
  endif()
endforeach()
file(RELATIVE_PATH zorvpc_target "${zorvpc_bindir}" "${zorvpc_dir}/zorvpc")
set(zorvpc_link "$ENV{DESTDIR}${zorvpc_bindir}/zorvpc")
message(STATUS "Installing: ${zorvpc_link} -> ${zorvpc_target}")
file(MAKE_DIRECTORY "$ENV{DESTDIR}${zorvpc_bindir}")
file(REMOVE "${zorvpc_link}")
file(CREATE_LINK "${zorvpc_target}" "${zorvpc_link}" SYMBOLIC)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${zorvpc_link}")
]])

# The launcher and the library are defined in vpc/, which is added after this file: the rules
# are made once the whole tree has been read.
function(zorvpc_install_rules)
  if(NOT TARGET zorvpc OR NOT TARGET zorvpc_preload)
    return()
  endif()
  install(TARGETS zorvpc RUNTIME DESTINATION ${ZORVPC_INSTALL_DIR}
          COMPONENT vpc EXCLUDE_FROM_ALL)
  install(TARGETS zorvpc_preload LIBRARY DESTINATION ${ZORVPC_INSTALL_DIR}
          COMPONENT vpc EXCLUDE_FROM_ALL)
  install(SCRIPT ${ZORFL_GEN_DIR}/install_zorvpc_link.cmake COMPONENT vpc EXCLUDE_FROM_ALL)
  install(FILES ${ZORVPC_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT vpc EXCLUDE_FROM_ALL)
  install(FILES ${ZORFL_GEN_DIR}/copyright ${ZORFL_CHANGELOG_GZ}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zorvpc COMPONENT vpc EXCLUDE_FROM_ALL)
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL zorvpc_install_rules)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The zorflashlnx2 developers")
set(CPACK_PACKAGE_CONTACT ${ZORFL_PACKAGE_MAINTAINER})
# Each package's description starts with its own summary line, so no common summary is set: CPack
# would put it in front of both.
set(CPACK_DEBIAN_TOOL_DESCRIPTION
"read, save, check and reprogram the BIOS flash of an x86 PC
zorflashlnx2 reads, saves, checks and reprograms the system BIOS flash ROM
of an x86 PC running Linux. It does not drive the flash chip itself: it
hands each command to the flash handler that the running BIOS carries,
entered by a System Management Interrupt, and moves the data through a
small transfer buffer that the kernel module zorfldrv provides.

It saves the flash to a file, checks a ROM file against the running BIOS
(size, ROM ID, boot-block checksum), and programs the main BIOS area and,
on request, the boot block, the NVRAM and the non-critical blocks, each
block erased, written and verified.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tool dkms vpc)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ZORFL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_DEBIAN_TOOL_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS ON)
# The tool loads the module with insmod or modprobe and unloads it with rmmod; the module itself
# comes from the DKMS package.
set(CPACK_DEBIAN_TOOL_PACKAGE_RECOMMENDS "kmod, ${ZORFLDRV_DKMS_PACKAGE}")

set(CPACK_DEBIAN_DKMS_PACKAGE_NAME ${ZORFLDRV_DKMS_PACKAGE})
set(CPACK_DEBIAN_DKMS_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DKMS_PACKAGE_SECTION kernel)
set(CPACK_DEBIAN_DKMS_PACKAGE_DEPENDS dkms)
set(CPACK_DEBIAN_DKMS_PACKAGE_CONTROL_EXTRA ${ZORFL_GEN_DIR}/dkms/postinst ${ZORFL_GEN_DIR}/dkms/prerm)
set(CPACK_DEBIAN_DKMS_DESCRIPTION
"transfer buffer module for zorflashlnx2, as DKMS source
zorfldrv_mod is the small kernel module through which zorflashlnx2 gets a
physically contiguous 1 KB transfer buffer below 4 GB for the BIOS's flash
handler: a character device whose two requests allocate and free the buffer
and whose mmap maps it.

This package holds its source. DKMS builds and installs it for every
installed kernel whose headers are installed, and for kernels installed
later, so that zorflashlnx2 loads it by name from any directory.")

set(CPACK_DEBIAN_VPC_PACKAGE_NAME zorvpc)
set(CPACK_DEBIAN_VPC_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_VPC_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_VPC_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_VPC_PACKAGE_SUGGESTS ${PROJECT_NAME})
set(CPACK_DEBIAN_VPC_DESCRIPTION
"virtual PC for zorflashlnx2, and rehearsals on a twin of this PC
zorvpc runs the unchanged zorflashlnx2 on an emulated PC: physical memory
with the BIOS records, the BIOS's flash handler over a flash image file,
the CMOS and the transfer buffer module. Nothing reaches the real
hardware, the real /dev/mem or the real module tools.

zorvpc capture reads this PC's BIOS records read-only and, with a backup
saved by zorflashlnx2 /o, makes a twin of it, on which a command can be
rehearsed, a power cut included, before it is run for real; zorvpc show
then lists block by block what the run erased and rewrote.")

# The Ansible collection, as ansible-galaxy builds it (build/zorfl-bios-VERSION.tar.gz), installed
# into ansible-core's default collection path, so that a controller needs only apt and no network.
find_program(ZORFL_ANSIBLE_GALAXY ansible-galaxy)
if(ZORFL_ANSIBLE_GALAXY)
  set(ZORFL_COLLECTION_TAR ${CMAKE_BINARY_DIR}/zorfl-bios-${PROJECT_VERSION}.0.tar.gz)
  install(CODE "
    execute_process(COMMAND ${ZORFL_ANSIBLE_GALAXY} collection build ${CMAKE_SOURCE_DIR}/ansible
                    --output-path ${CMAKE_BINARY_DIR} --force COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
    execute_process(COMMAND ${ZORFL_ANSIBLE_GALAXY} collection install --force ${ZORFL_COLLECTION_TAR}
                    -p \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/ansible/collections
                    COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)" COMPONENT ansible EXCLUDE_FROM_ALL)
  install(FILES ${ZORFL_GEN_DIR}/copyright ${ZORFL_CHANGELOG_GZ}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zorflashlnx2-ansible COMPONENT ansible EXCLUDE_FROM_ALL)
  list(APPEND CPACK_COMPONENTS_ALL ansible)
  set(CPACK_DEBIAN_ANSIBLE_PACKAGE_NAME zorflashlnx2-ansible)
  set(CPACK_DEBIAN_ANSIBLE_PACKAGE_ARCHITECTURE all)
  set(CPACK_DEBIAN_ANSIBLE_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_ANSIBLE_PACKAGE_DEPENDS "ansible-core (>= 2.14)")
  set(CPACK_DEBIAN_ANSIBLE_DESCRIPTION
"Ansible collection zorfl.bios: BIOS updates with zorflashlnx2 on many machines
The module zorfl.bios.flash saves a host's BIOS flash, rehearses the exact
zorflashlnx2 command on a twin of the host (zorvpc capture), programs only
when a block would change, and checks the flash against the twin's
prediction afterwards. The role zorfl.bios.update copies the ROM file,
runs the module and fetches the backup; the playbook zorfl.bios.rollout
updates one batch at a time and stops at the first failure.

The hosts need python3, zorflashlnx2 and zorvpc.")
endif()

include(CPack)

add_subdirectory(${CMAKE_SOURCE_DIR}/tests/package ${CMAKE_BINARY_DIR}/tests/package)

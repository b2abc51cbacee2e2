# The payload resources: tools/build-payload.sh assembles them from Debian's packages into
# ${CMAKE_BINARY_DIR}/payload (KYR.7z, 7z.dll). Target velund_payload builds them;
# velund_add_payload_resources() adds 7zDLL and KYR7z to VELUND_RESOURCES in the caller's scope.
#
# The script always runs on the build host, so its 7z.dll is Debian's Linux library. A Windows build
# takes 7-Zip's own 32-bit 7z.dll instead: built by tools/build-7z-dll.sh from the Debian release's
# 7zip source package with mingw-w64, or, with VELUND_WINDOWS_7Z_DLL, a 7z.dll the user already has.
# No prebuilt binary is downloaded.

set(VELUND_PAYLOAD_DIR ${CMAKE_BINARY_DIR}/payload)
set(VELUND_PAYLOAD_ARCHIVE ${VELUND_PAYLOAD_DIR}/KYR.7z)
set(VELUND_PAYLOAD_LIBRARY ${VELUND_PAYLOAD_DIR}/7z.dll)
set(VELUND_WINDOWS_7Z_DLL "" CACHE FILEPATH "7-Zip's 32-bit 7z.dll for the Windows build's 7zDLL resource")

# The script skips its work when its own text and the package versions are unchanged; these files
# are what a package upgrade replaces. Only existing ones can be dependencies (the script installs
# missing packages itself).
set(_velund_payload_inputs ${CMAKE_SOURCE_DIR}/tools/build-payload.sh)
foreach(input
    /usr/lib/grub/i386-pc/moddep.lst
    /usr/lib/grub/i386-efi/moddep.lst
    /usr/lib/grub/x86_64-efi/moddep.lst
    /usr/lib/shim/shimx64.efi.signed
    /usr/lib/shim/mmx64.efi.signed
    /usr/share/grub/unicode.pf2
    /usr/lib/p7zip/7z.so)
  if(EXISTS ${input})
    list(APPEND _velund_payload_inputs ${input})
  endif()
endforeach()

# The stamp comes first: the script touches it on every run, also when the archive stays as it is,
# so a skipped run neither repeats nor forces the resources to be rebuilt.
add_custom_command(
  OUTPUT ${VELUND_PAYLOAD_DIR}/payload.stamp ${VELUND_PAYLOAD_ARCHIVE} ${VELUND_PAYLOAD_LIBRARY}
  COMMAND bash ${CMAKE_SOURCE_DIR}/tools/build-payload.sh ${VELUND_PAYLOAD_DIR}
  DEPENDS ${_velund_payload_inputs}
  COMMENT "Building the payload archive"
  VERBATIM)
add_custom_target(velund_payload DEPENDS ${VELUND_PAYLOAD_DIR}/payload.stamp)

if(WIN32 AND NOT VELUND_WINDOWS_7Z_DLL)
  set(VELUND_BUILT_7Z_DLL ${CMAKE_BINARY_DIR}/7zip/7z.dll)
  add_custom_command(
    OUTPUT ${VELUND_BUILT_7Z_DLL}
    COMMAND bash ${CMAKE_SOURCE_DIR}/tools/build-7z-dll.sh ${CMAKE_BINARY_DIR}/7zip
    DEPENDS ${CMAKE_SOURCE_DIR}/tools/build-7z-dll.sh
    COMMENT "Building 7-Zip's 32-bit 7z.dll from its Debian source package"
    VERBATIM)
  add_custom_target(velund_windows_7z_dll DEPENDS ${VELUND_BUILT_7Z_DLL})
  add_dependencies(velund_payload velund_windows_7z_dll)
endif()

function(velund_add_payload_resources)
  set(library ${VELUND_PAYLOAD_LIBRARY})
  if(WIN32)
    if(VELUND_WINDOWS_7Z_DLL)
      set(library ${VELUND_WINDOWS_7Z_DLL})
    else()
      set(library ${VELUND_BUILT_7Z_DLL})
    endif()
  endif()
  set(VELUND_RESOURCES ${VELUND_RESOURCES} 7zDLL=${library} KYR7z=${VELUND_PAYLOAD_ARCHIVE} PARENT_SCOPE)
endfunction()

# Lays out the Windows package: one folder and a zip of it.
#
#   <PACKAGE_NAME>/INSTALL.txt
#   <PACKAGE_NAME>/driver/norvask.inf            the driver package: the INF finds each
#   <PACKAGE_NAME>/driver/amd64/Norvask.sys      platform's image in its own folder
#   <PACKAGE_NAME>/driver/x86/Norvask.sys
#   <PACKAGE_NAME>/driver/norvask-test.cer       the test certificate the images are signed with
#   <PACKAGE_NAME>/console/x64/Morlix.exe
#   <PACKAGE_NAME>/console/x64/morlixctl.exe     the command-line console
#   <PACKAGE_NAME>/console/x86/Morlix.exe
#   <PACKAGE_NAME>/console/x86/morlixctl.exe
#
# Run by the windows-package target with PACKAGE_ROOT, PACKAGE_NAME, INF, INSTALL_TEXT,
# SYS_X64, EXE_X64, CTL_X64, SYS_X86, EXE_X86, CTL_X86.

foreach(input INF INSTALL_TEXT SYS_X64 EXE_X64 CTL_X64)
    if(NOT EXISTS "${${input}}")
        message(FATAL_ERROR "windows-package: ${${input}} is missing")
    endif()
endforeach()
foreach(input SYS_X86 EXE_X86 CTL_X86)
    if(NOT EXISTS "${${input}}")
        message(FATAL_ERROR "windows-package: ${${input}} is missing: build the win32 preset "
                            "first (cmake --preset win32 && cmake --build --preset win32)")
    endif()
endforeach()

set(dir "${PACKAGE_ROOT}/${PACKAGE_NAME}")
file(REMOVE_RECURSE "${dir}" "${PACKAGE_ROOT}/${PACKAGE_NAME}.zip")
file(MAKE_DIRECTORY "${dir}/driver/amd64" "${dir}/driver/x86" "${dir}/console/x64"
     "${dir}/console/x86")
file(COPY "${INF}" DESTINATION "${dir}/driver")
file(COPY "${INSTALL_TEXT}" DESTINATION "${dir}")
file(COPY "${EXE_X64}" "${CTL_X64}" DESTINATION "${dir}/console/x64")
file(COPY "${EXE_X86}" "${CTL_X86}" DESTINATION "${dir}/console/x86")

# The images carry an embedded signature from a test certificate, so that a machine in test
# mode loads them; the certificate is made once per build tree and travels with the package.
find_program(OPENSSL openssl)
find_program(OSSLSIGNCODE osslsigncode)
if(NOT OPENSSL OR NOT OSSLSIGNCODE)
    message(FATAL_ERROR "windows-package: openssl and osslsigncode are needed to sign the "
                        "driver images (scripts/install-deps cross)")
endif()
set(certdir "${PACKAGE_ROOT}/test-certificate")
if(NOT EXISTS "${certdir}/norvask-test.key" OR NOT EXISTS "${certdir}/norvask-test.cer")
    file(MAKE_DIRECTORY "${certdir}")
    execute_process(
        COMMAND "${OPENSSL}" req -x509 -newkey rsa:2048 -sha256 -days 3650 -nodes
                -subj "/CN=Norvask Test Signing"
                -addext "keyUsage=critical,digitalSignature"
                -addext "extendedKeyUsage=codeSigning"
                -keyout "${certdir}/norvask-test.key" -out "${certdir}/norvask-test.pem"
        RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "windows-package: making the test certificate failed")
    endif()
    execute_process(
        COMMAND "${OPENSSL}" x509 -in "${certdir}/norvask-test.pem" -outform DER
                -out "${certdir}/norvask-test.cer"
        RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "windows-package: converting the test certificate failed")
    endif()
endif()
file(COPY "${certdir}/norvask-test.cer" DESTINATION "${dir}/driver")

foreach(arch amd64 x86)
    if(arch STREQUAL "amd64")
        set(image "${SYS_X64}")
    else()
        set(image "${SYS_X86}")
    endif()
    execute_process(
        COMMAND "${OSSLSIGNCODE}" sign -certs "${certdir}/norvask-test.pem"
                -key "${certdir}/norvask-test.key" -h sha256 -n "Norvask"
                -in "${image}" -out "${dir}/driver/${arch}/Norvask.sys"
        RESULT_VARIABLE rc OUTPUT_QUIET)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "windows-package: signing ${image} failed")
    endif()
    execute_process(
        COMMAND "${OSSLSIGNCODE}" verify -CAfile "${certdir}/norvask-test.pem"
                -in "${dir}/driver/${arch}/Norvask.sys"
        RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "windows-package: the signature of the ${arch} image does not verify")
    endif()
endforeach()

execute_process(
    COMMAND "${CMAKE_COMMAND}" -E tar cf "${PACKAGE_NAME}.zip" --format=zip "${PACKAGE_NAME}"
    WORKING_DIRECTORY "${PACKAGE_ROOT}"
    RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "windows-package: making the zip failed")
endif()
message(STATUS "Windows package: ${dir} and ${PACKAGE_ROOT}/${PACKAGE_NAME}.zip")

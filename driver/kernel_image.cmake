# Norvask.sys: the driver and its core built against the real kernel headers, linked as a
# native image that imports only from the kernel, the HAL and the USB bus library.

add_executable(Norvask ${NORVASK_DRIVER_SOURCES} ${NORVASK_CORE_SOURCES})
set_target_properties(Norvask PROPERTIES PREFIX "" SUFFIX ".sys")
target_include_directories(Norvask PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}
                                           ${PROJECT_SOURCE_DIR}/contract)
target_compile_definitions(Norvask PRIVATE
    NORVASK_REAL_KERNEL
    # mingw-w64's ddk/wdm.h redeclares these compiler intrinsics in C++.
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
target_compile_options(Norvask PRIVATE
    -ffreestanding -fno-stack-protector -mno-stack-arg-probe -fno-exceptions -fno-rtti
    -fno-threadsafe-statics)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(NORVASK_ENTRY _DriverEntry@8) # stdcall decoration of the x86 entry
else()
    set(NORVASK_ENTRY DriverEntry)
endif()

target_link_options(Norvask PRIVATE
    -nostdlib -nostartfiles
    -Wl,--subsystem,native
    -Wl,--entry,${NORVASK_ENTRY}
    -Wl,--dynamicbase
    -Wl,--image-base,0x10000
    -Wl,--file-alignment,0x200
    -Wl,--section-alignment,0x1000)
target_link_libraries(Norvask PRIVATE ntoskrnl hal usbd gcc)

# CI checks the image with the same script: native subsystem, kernel imports only.
add_custom_command(TARGET Norvask POST_BUILD
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_sys.sh $<TARGET_FILE:Norvask>
    VERBATIM)

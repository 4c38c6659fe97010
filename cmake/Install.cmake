# What `cmake --install` puts under the prefix:
#   lib/      libkvtbasic (SONAME libkvtbasic.so.2) and, beside it, the three
#             algorithm modules that the library loads by name
#   include/  kvt/KVTBasic.h, kvt/KVTSimulator.h
#   bin/      kvt (and kvt-sensor-sim when it is built), RUNPATH $ORIGIN/../lib
#   lib/pkgconfig/kvtbasic.pc, lib/cmake/KVTBasic/ (find_package(KVTBasic))
#   share/kvtbasic/  the udev rule for the sensors and the example program
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KVT_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/KVTBasic)
set(KVT_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/kvtbasic)

install(TARGETS kvtbasic EXPORT KVTBasicTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# On Windows LoadLibrary finds the modules beside the application's DLLs in bin/.
install(TARGETS VFExtractor VFMatcher NFRecord
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/kvt/KVTBasic.h include/kvt/KVTSimulator.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kvt)

# Installed programs find the library through their RUNPATH.
file(RELATIVE_PATH KVT_BIN_TO_LIB
    ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
set(KVT_PROGRAMS)
if(TARGET kvt)
    list(APPEND KVT_PROGRAMS kvt)
endif()
# The Ethernet sensor emulator, once tools/kvt-sensor-sim is part of the build.
if(TARGET kvt-sensor-sim)
    list(APPEND KVT_PROGRAMS kvt-sensor-sim)
endif()
if(KVT_PROGRAMS)
    if(NOT WIN32)
        set_target_properties(${KVT_PROGRAMS} PROPERTIES INSTALL_RPATH "$ORIGIN/${KVT_BIN_TO_LIB}")
        foreach(program ${KVT_PROGRAMS})
            target_link_options(${program} PRIVATE -Wl,--enable-new-dtags)
        endforeach()
    endif()
    install(TARGETS ${KVT_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES packaging/60-kvt-sensors.rules DESTINATION ${KVT_INSTALL_DATADIR}/udev)
install(FILES examples/list-sensors.c examples/CMakeLists.txt
    DESTINATION ${KVT_INSTALL_DATADIR}/examples)

# pkg-config; relative to its own folder, so the prefix can move.
file(RELATIVE_PATH KVT_PC_TO_PREFIX
    ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KVT_PC_TO_PREFIX "${KVT_PC_TO_PREFIX}")
configure_file(packaging/kvtbasic.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kvtbasic.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kvtbasic.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# find_package(KVTBasic) -> KVTBasic::kvtbasic
install(EXPORT KVTBasicTargets NAMESPACE KVTBasic:: DESTINATION ${KVT_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/KVTBasicConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/KVTBasicConfig.cmake
    INSTALL_DESTINATION ${KVT_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KVTBasicConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/KVTBasicConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/KVTBasicConfigVersion.cmake
    DESTINATION ${KVT_INSTALL_CMAKEDIR})

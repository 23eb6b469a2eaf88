# Registration, resources, persistence and the picture of the control shell,
# and a host that finds the control library by its exports only.
zarvion_test(test_registration SOURCES registration_test.cpp gui_test_main.cpp
  LIBS zarvion_shell zarvion_version)
target_compile_definitions(test_registration PRIVATE
  ZARVION_LIB_DIR="${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
add_dependencies(test_registration zarvion)
add_library(zarvion_test_plain SHARED no_exports.cpp)
zarvion_test(test_host_abi SOURCES host_abi_test.cpp LIBS zarvion_platform ${CMAKE_DL_LIBS})
target_compile_definitions(test_host_abi PRIVATE ZARVION_LIB_DIR="${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
add_dependencies(test_host_abi zarvion zarvion-regsvr zarvion_test_plain relative_load_child)
# A host of its own layout that calls every slot by index; ConnectServer
# against the simulator in its own process.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
zarvion_test(test_host_slots SOURCES host_slots_test.cpp ui_test_main.cpp
  LIBS zarvion_platform Qt6::Widgets ${CMAKE_DL_LIBS})
target_compile_definitions(test_host_slots PRIVATE
  ZARVION_LIB_DIR="${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
add_dependencies(test_host_slots zarvion zarvion-regsvr zarvion-dvrsim)
# Loads the control library by a relative name, then leaves that folder.
add_executable(relative_load_child relative_load_child.cpp)
target_link_libraries(relative_load_child PRIVATE ${CMAKE_DL_LIBS})

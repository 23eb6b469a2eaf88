zarvion_test(test_dvrsim SOURCES dvrsim_test.cpp LIBS zarvion_dvrsim)
add_dependencies(test_dvrsim zarvion-dvrsim)

find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  add_test(NAME dvrsim_independent_client
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/dvrsim_independent_client.py
      $<TARGET_FILE:zarvion-dvrsim>)
  set_tests_properties(dvrsim_independent_client PROPERTIES TIMEOUT 60)
endif()

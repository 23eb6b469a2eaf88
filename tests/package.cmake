# The Debian package, built, checked and run from an empty root. Only in the
# plain build: the sanitizer builds would package the same files again.
if(NOT ZARVION_ASAN AND NOT ZARVION_TSAN AND NOT ZARVION_FUZZ)
  add_test(NAME package
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
  set_tests_properties(package PROPERTIES TIMEOUT 600)
endif()

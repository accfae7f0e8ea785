if(NOT QUILLMAR_TESTS)
  return()
endif()
add_library(pst_check_testing STATIC testing/store_editor.cc)
target_link_libraries(pst_check_testing PUBLIC pst_check)
target_compile_definitions(pst_check_testing PRIVATE
  QUILLMAR_TESTDATA_DIR="${QUILLMAR_TESTDATA_DIR}")
quillmar_add_test(pst_check_test
  SOURCES corruption_test.cc real_store_test.cc mail_damage_test.cc
  LIBS pst_check_testing)
target_compile_definitions(pst_check_test PRIVATE
  QUILLMAR_CHECK_EXPECTED="${CMAKE_CURRENT_SOURCE_DIR}/expected_findings.txt")

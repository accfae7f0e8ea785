quillmar_add_test(pst_ndb_test
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/store_fixture.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/crypt_test.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/header_test.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/page_block_test.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/database_test.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/node_data_test.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/real_store_test.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/damaged_store_test.cc
  LIBS pst_ndb)

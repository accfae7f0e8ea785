quillmar_add_test(pst_ndb_test
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/real_store_test.cc
  LIBS pst_ndb)

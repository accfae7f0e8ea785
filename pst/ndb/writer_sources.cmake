list(APPEND PST_NDB_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/allocation_map.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/btree_writer.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/data_tree_writer.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/reference_census.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/transaction.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/writable_database.cc
)

quillmar_add_test(pst_ndb_writer_test
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/store_check_test_util.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/store_check_test.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/allocation_map_test.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/btree_writer_test.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/writer_test.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/commit_test.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/real_store_writer_test.cc
  LIBS pst_ndb)

# Writing stores: new empty stores and the table templates. Needs the node
# database's writer; until it is part of pst_ndb these stay out of the build.
get_target_property(_quillmar_ndb_sources pst_ndb SOURCES)
list(FILTER _quillmar_ndb_sources INCLUDE REGEX "writable_database\\.cc$")
if(_quillmar_ndb_sources)
  set(QUILLMAR_CAN_WRITE_STORES ON CACHE INTERNAL "the engine can write stores")
  target_sources(pst_messaging PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR}/table_templates.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/initial_names.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/name_map_writer.cc
    ${CMAKE_CURRENT_SOURCE_DIR}/store_creator.cc)
  quillmar_add_test(pst_store_creator_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/store_creator_test.cc
    LIBS pst_messaging)
  quillmar_add_test(pst_store_writer_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/store_writer_test.cc
    LIBS pst_messaging)
else()
  set(QUILLMAR_CAN_WRITE_STORES OFF CACHE INTERNAL "the engine can write stores")
endif()

# The build's template maker (not shipped: it stays out of bin/).
if(QUILLMAR_CAN_WRITE_STORES)
  add_executable(make_template ${CMAKE_CURRENT_SOURCE_DIR}/make_template.cc)
  target_link_libraries(make_template PRIVATE pst_messaging)
  set_target_properties(make_template PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
endif()

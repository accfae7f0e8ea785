# Tests of the LTP writers: every structure written, then read back with the
# layer's readers, in both formats.
quillmar_add_test(pst_ltp_writer_test
  SOURCES heap_writer_test.cc bth_writer_test.cc property_context_builder_test.cc
          table_context_builder_test.cc
  LIBS ${PST_LTP_LIB})

if(TARGET pst_ndb)
  # Needs the real node database to read the sample stores.
  quillmar_add_test(pst_ltp_rebuild_test
    SOURCES rebuild_store_test.cc
    LIBS pst_ltp)
endif()

if(TARGET pst_ndb)
  get_target_property(_quillmar_ndb_sources pst_ndb SOURCES)
  list(FILTER _quillmar_ndb_sources INCLUDE REGEX "writable_database\\.cc$")
  if(_quillmar_ndb_sources)
    # Through the real node database's transactions.
    quillmar_add_test(pst_ltp_transaction_test
      SOURCES transaction_round_trip_test.cc
      LIBS pst_ltp)
  endif()
endif()

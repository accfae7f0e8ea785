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

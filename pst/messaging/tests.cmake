quillmar_add_test(pst_messaging_test
  SOURCES text_test.cc store_test.cc
  LIBS pst_messaging)

# The LTP writers (heaps, BTHs, property and table contexts built in memory
# and written through a BlockWriter), appended to the layer's sources.
list(APPEND PST_LTP_SOURCES
  heap_writer.cc
  bth_writer.cc
  value_writer.cc
  property_context_builder.cc
  table_context_builder.cc
  node_writer.cc
)

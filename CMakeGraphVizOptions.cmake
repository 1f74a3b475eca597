# `cmake --graphviz=deps.dot <build>`: the project's libraries and programs only, one graph.
set(GRAPHVIZ_GRAPH_NAME "corvex")
set(GRAPHVIZ_EXTERNAL_LIBS FALSE)
set(GRAPHVIZ_INTERFACE_LIBS TRUE)
set(GRAPHVIZ_GENERATE_PER_TARGET FALSE)
set(GRAPHVIZ_GENERATE_DEPENDERS FALSE)
set(GRAPHVIZ_IGNORE_TARGETS "_tests$;_bench$;^fuzz_;^corvex_fuzz;^corvex_warnings$;^corvex_pcre$;^corvex_uring$;^corvex_pcap$;^files_test;^corvex_probe;^corvex_forward;^merge_bench")

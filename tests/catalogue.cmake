# The recordings' catalogue: entered as recordings start and end, kept
# across runs, reconciled with its folders, rebuilt when damaged.
zarvion_test(test_viewer_catalogue SOURCES catalogue_test.cpp LIBS zarvion_viewer_app)

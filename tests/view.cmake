# The view model's rules, on plain values.
zarvion_test(test_view_model SOURCES view_model_test.cpp LIBS zarvion_view)

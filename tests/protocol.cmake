zarvion_test(test_protocol SOURCES protocol_test.cpp LIBS zarvion_net)

# Platform stand-ins, the scriptable object, the settings store and dialogs.
zarvion_test(test_platform_core SOURCES platform_core_test.cpp LIBS zarvion_platform)
zarvion_test(test_shell SOURCES shell_test.cpp LIBS zarvion_shell)
zarvion_test(test_settings SOURCES settings_test.cpp LIBS zarvion_settings)
find_package(Qt6 REQUIRED COMPONENTS Test)
zarvion_test(test_dialogs SOURCES dialogs_test.cpp LIBS zarvion_settings Qt6::Test)

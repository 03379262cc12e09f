# cd-level-refresh runs under devsim, which plays the OSS mixer.
add_program_test(cd-level-refresh_test SOURCES cd-level-refresh_test.cpp DEPENDS cd-level-refresh devsim)

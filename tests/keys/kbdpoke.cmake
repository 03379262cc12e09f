# kbdpoke runs under devsim, which catches its port writes on x86_64 only.
if(TARGET kbdpoke AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  add_program_test(kbdpoke_test SOURCES kbdpoke_test.cpp DEPENDS kbdpoke devsim)
endif()

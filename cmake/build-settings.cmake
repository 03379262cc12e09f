# Build settings every program, library and test of the tool set takes, each an
# INTERFACE target that link_build_settings() links them all to, once every
# folder is read. A target that sets the property SETTOP_PLAIN takes neither:
# devsim's preloaded library and what is built into it (devsim/CMakeLists.txt).
# Included from the top-level CMakeLists.txt.

# 64-bit file offsets, so that 32-bit boxes behave as 64-bit ones: movies pass
# 2 GiB, a picture file beyond 2 GiB can be fstat'ed (and refused) instead of
# failing with EOVERFLOW, and ext4's readdir hands out 64-bit cookies that a
# 32-bit readdir reports as EOVERFLOW.
# The preloaded library stays without: there every open and mmap would become
# a second open64 and mmap64, and the library defines both.
add_library(settop_large_files INTERFACE)
target_compile_definitions(settop_large_files INTERFACE _FILE_OFFSET_BITS=64)

# AddressSanitizer and UndefinedBehaviorSanitizer when SANITIZE is on.
add_library(settop_sanitize INTERFACE)
if(SANITIZE)
  target_compile_options(settop_sanitize INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(settop_sanitize INTERFACE -fsanitize=address,undefined)
endif()

# Links the settings to every target built in DIR and the folders below it.
function(link_build_settings dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(plain ${target} SETTOP_PLAIN)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$" AND NOT plain)
      target_link_libraries(${target} PRIVATE settop_large_files settop_sanitize)
    endif()
  endforeach()
  get_property(folders DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(folder IN LISTS folders)
    link_build_settings(${folder})
  endforeach()
endfunction()

# Version notes read back from executables, and the system's processes.
add_executable(kelt_version_probe_1234 VersionProbe.cpp)
kelt_embed_version(kelt_version_probe_1234 VERSION 1.2.3.4)
add_executable(kelt_version_probe_big VersionProbe.cpp)
kelt_embed_version(kelt_version_probe_big VERSION 10.0.0.100)
add_executable(kelt_version_probe_none VersionProbe.cpp)

kelt_add_test(test_os_process FileVersionTest.cpp ProcessesTest.cpp)
target_link_libraries(test_os_process PRIVATE kelt_os)
add_dependencies(test_os_process kelt_version_probe_1234 kelt_version_probe_big kelt_version_probe_none)
target_compile_definitions(test_os_process PRIVATE
  KELT_PROBE_1234="$<TARGET_FILE:kelt_version_probe_1234>"
  KELT_PROBE_BIG="$<TARGET_FILE:kelt_version_probe_big>"
  KELT_PROBE_NONE="$<TARGET_FILE:kelt_version_probe_none>")

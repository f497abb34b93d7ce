# cmake -P scripts/lib/layers.cmake: prints the owner of every file under src/
# ("file <path> <target>") and what every target may include ("uses <target>
# <target and all it builds on>"), from src/subsystems.cmake.
cmake_minimum_required(VERSION 3.25)
get_filename_component(root ${CMAKE_CURRENT_LIST_DIR}/../../src ABSOLUTE)
include(${root}/subsystems.cmake)
kova_subsystem_owners(${root})
file(GLOB_RECURSE all RELATIVE ${root} ${root}/*.cpp ${root}/*.hpp ${root}/*.h)
foreach(file IN LISTS all)
  message(NOTICE "file ${file} ${KOVA_OWNER_${file}}")
endforeach()
foreach(subsystem IN LISTS KOVA_SUBSYSTEMS)
  kova_subsystem_closure(${subsystem} closure)
  list(JOIN closure " " closure)
  message(NOTICE "uses ${subsystem} ${closure}")
endforeach()

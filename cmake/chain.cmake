# korvex_chain: the binding of its kernels (nanobind module
# korvex_chain._kernels) and the Python package around them. Included from
# the top-level CMakeLists.txt when the Python modules are built; linked to
# the kernels' static library on the same static korvex_core, so every
# number comes from the same compiled code as korvex's.
#
# In the build tree the module lands in <build>/korvex_chain/ next to a copy
# of python/korvex_chain and its subpackages, so that a build directory on
# PYTHONPATH (the sanitizer run) imports the package from there; the wheel installs the
# module into korvex_chain/ and the Python files come from wheel.packages.

find_package(Python 3.12 REQUIRED COMPONENTS Interpreter Development.Module Development.SABIModule)
execute_process(
  COMMAND "${Python_EXECUTABLE}" -m nanobind --cmake_dir
  OUTPUT_STRIP_TRAILING_WHITESPACE OUTPUT_VARIABLE nanobind_ROOT
  RESULT_VARIABLE _korvex_nb_found)
if(NOT _korvex_nb_found EQUAL 0)
  message(FATAL_ERROR "nanobind is not installed for ${Python_EXECUTABLE} (pip install nanobind)")
endif()
find_package(nanobind CONFIG REQUIRED)

set(KORVEX_CHAIN_DIR ${CMAKE_BINARY_DIR}/korvex_chain)
nanobind_add_module(_kernels STABLE_ABI NB_STATIC NOMINSIZE ${CMAKE_CURRENT_SOURCE_DIR}/src/chain/module.cpp)
target_link_libraries(_kernels PRIVATE korvex_chain_kernels)
# Speed comes from the build type's optimisation, never from value-changing
# flags (the top-level add_compile_options holds them off for every target):
# the kernels must reproduce korvex bit for bit.
set_target_properties(_kernels PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${KORVEX_CHAIN_DIR})
# Export PyInit__kernels and nothing else (nanobind's exception types would
# otherwise leave typeinfo symbols visible to other modules in the process).
target_link_options(_kernels PRIVATE -Wl,--exclude-libs,ALL
                    -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/src/chain/exports.map)

# The package with its subpackages (korvex_chain.fit), each file at its
# place relative to python/korvex_chain.
set(KORVEX_CHAIN_SRC ${CMAKE_CURRENT_SOURCE_DIR}/python/korvex_chain)
file(GLOB_RECURSE KORVEX_CHAIN_PY CONFIGURE_DEPENDS RELATIVE ${KORVEX_CHAIN_SRC}
     ${KORVEX_CHAIN_SRC}/*.py ${KORVEX_CHAIN_SRC}/py.typed)
foreach(name IN LISTS KORVEX_CHAIN_PY)
  configure_file(${KORVEX_CHAIN_SRC}/${name} ${KORVEX_CHAIN_DIR}/${name} COPYONLY)
endforeach()
# A source file removed or renamed leaves no stale copy behind to be imported.
file(GLOB_RECURSE _korvex_chain_copies RELATIVE ${KORVEX_CHAIN_DIR} ${KORVEX_CHAIN_DIR}/*.py)
foreach(name IN LISTS _korvex_chain_copies)
  if(NOT name IN_LIST KORVEX_CHAIN_PY)
    file(REMOVE ${KORVEX_CHAIN_DIR}/${name})
  endif()
endforeach()

install(TARGETS _kernels LIBRARY DESTINATION korvex_chain)

# Typed interface of the compiled module, generated from the module itself.
# The sanitized build skips it: importing an ASan module needs the runtime
# preloaded into the interpreter.
if(NOT KORVEX_SANITIZE)
  nanobind_add_stub(_kernels_stub
    MODULE _kernels
    OUTPUT ${KORVEX_CHAIN_DIR}/_kernels.pyi
    PYTHON_PATH ${KORVEX_CHAIN_DIR}
    DEPENDS _kernels)
  install(FILES ${KORVEX_CHAIN_DIR}/_kernels.pyi DESTINATION korvex_chain)
endif()

# nanobind is compiled into _kernels: the wheel carries its licence.
if(DEFINED SKBUILD_METADATA_DIR)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
      "import importlib.metadata as m; d = m.distribution('nanobind'); print(next(d.locate_file(f) for f in d.files if f.name == 'LICENSE'))"
    OUTPUT_VARIABLE _korvex_nb_license OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _korvex_nb_license_found)
  if(NOT _korvex_nb_license_found EQUAL 0 OR NOT EXISTS "${_korvex_nb_license}")
    message(FATAL_ERROR "nanobind's licence file was not found")
  endif()
  install(FILES "${_korvex_nb_license}" DESTINATION "${SKBUILD_METADATA_DIR}/licenses" RENAME nanobind-LICENSE)
endif()

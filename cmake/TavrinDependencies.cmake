# Finds the libraries of the core, each through its own CMake config, a find
# module or pkg-config, and exposes them as imported targets.
find_package(PkgConfig REQUIRED)
find_package(OpenMP REQUIRED COMPONENTS CXX)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(PostgreSQL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(SQLite3 REQUIRED)
# CMake 4 renamed the target; Debian 12's CMake 3.25 only has the old name.
if(TARGET SQLite3::SQLite3)
  add_library(tavrin::sqlite3 ALIAS SQLite3::SQLite3)
else()
  add_library(tavrin::sqlite3 ALIAS SQLite::SQLite3)
endif()
find_package(nlohmann_json 3.9 REQUIRED)
find_package(FlatBuffers CONFIG REQUIRED)

pkg_check_modules(HIREDIS REQUIRED IMPORTED_TARGET hiredis)
add_library(tavrin::hiredis ALIAS PkgConfig::HIREDIS)

# Armadillo ships no usable CMake package on Debian: its find module does.
find_package(Armadillo REQUIRED)
add_library(tavrin_armadillo INTERFACE)
target_include_directories(tavrin_armadillo INTERFACE ${ARMADILLO_INCLUDE_DIRS})
target_link_libraries(tavrin_armadillo INTERFACE ${ARMADILLO_LIBRARIES})
# Armadillo's own wrapper forwards to the system BLAS (OpenBLAS here); keep
# its debug checks out of release builds.
target_compile_definitions(tavrin_armadillo INTERFACE $<$<CONFIG:Release>:ARMA_NO_DEBUG>)
add_library(tavrin::armadillo ALIAS tavrin_armadillo)

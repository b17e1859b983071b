# nlohmann/json, GoogleTest and the hash library. The native build uses the
# host's packages; the mingw build gets the header-only JSON library and the
# GoogleTest sources Debian ships, without seeing the host's /usr/include.
if(CMAKE_CROSSCOMPILING AND WIN32)
  set(_staged ${CMAKE_BINARY_DIR}/staged-include)
  file(MAKE_DIRECTORY ${_staged})
  file(CREATE_LINK /usr/include/nlohmann ${_staged}/nlohmann SYMBOLIC)
  add_library(nlohmann_json INTERFACE)
  target_include_directories(nlohmann_json SYSTEM INTERFACE ${_staged})
  add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json)

  if(BUILD_TESTING OR NOT DEFINED BUILD_TESTING)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    # googletest's own build defines the GTest:: aliases.
  endif()
  set(CORVANE_CRYPTO_LIBS bcrypt)
else()
  find_package(nlohmann_json 3.10 REQUIRED)
  # A build of only the server (BUILD_TESTING=OFF) needs no test libraries.
  if(BUILD_TESTING OR NOT DEFINED BUILD_TESTING)
    find_package(GTest REQUIRED)
  endif()
  find_package(OpenSSL REQUIRED)
  find_package(Threads REQUIRED)
  set(CORVANE_CRYPTO_LIBS OpenSSL::Crypto)
endif()
